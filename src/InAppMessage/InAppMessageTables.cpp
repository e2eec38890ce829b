#include "InAppMessage/InAppMessageTables.h"

namespace sorvel {
namespace {

template <class Column>
std::vector<std::string_view> namesOf(const std::vector<Column>& columns) {
    std::vector<std::string_view> names;
    names.reserve(columns.size());
    for (const auto& column : columns) {
        names.push_back(column.name);
    }
    return names;
}

}  // namespace

std::vector<Table::Column> InAppMessageTable::columns() const {
    return {{COLUMN_NAME_CAMPAIGN_ID, "TEXT UNIQUE"},
            {COLUMN_NAME_PORTRAIT_AVAILABLE, "INT"},
            {COLUMN_NAME_LANDSCAPE_AVAILABLE, "INT"},
            {COLUMN_NAME_EXTERNAL_ATTR, "TEXT"},
            {COLUMN_NAME_TIMEZONE_OFFSET, "INT"},
            {COLUMN_NAME_TIMEZONE_TYPE, "TEXT"},
            {COLUMN_NAME_TYPE, "TEXT"},
            {COLUMN_NAME_LAYOUT, "TEXT"},
            {COLUMN_NAME_HTML, "TEXT"},
            {COLUMN_NAME_BG_STYLE_BG_COLOR, "TEXT"},
            {COLUMN_NAME_BG_STYLE_OVERLAY_COLOR, "TEXT"},
            {COLUMN_NAME_CONTENTS_TEXT, "TEXT"},
            {COLUMN_NAME_CONTENTS_BUTTONS, "TEXT"},
            {COLUMN_NAME_DEFAULT_CLOSE_BUTTON_COLOR, "TEXT"},
            {COLUMN_NAME_DEFAULT_CLOSE_BUTTON_BG_COLOR, "TEXT"},
            {COLUMN_NAME_STICKY_BANNER_OPTION, "TEXT"},
            {COLUMN_NAME_FREQUENCY_CAP_PER_SESSION, "INT"},
            {COLUMN_NAME_FREQUENCY_CAP_PER_USER, "INT"},
            {COLUMN_NAME_FREQUENCY_CAP_FOR_PERIOD_IN_MINUTES, "INT"},
            {COLUMN_NAME_FREQUENCY_CAP_FOR_PERIOD_PER_PERIOD, "INT"},
            {COLUMN_NAME_START_DATETIME, "INT"},
            {COLUMN_NAME_END_DATETIME, "INT"},
            {COLUMN_NAME_LAST_UPDATED_DATETIME, "INT"},
            {COLUMN_NAME_UNAVAILABLE_DAY, "TEXT"},
            {COLUMN_NAME_UNAVAILABLE_TIME, "INT"}};
}
// Only this table's statement is indented.
std::string InAppMessageTable::createTableQuery() const {
    return createText(std::string(16, ' '), TABLE_NAME, columns());
}
std::string InAppMessageTable::insertQuery() const {
    return insertText(false, TABLE_NAME, namesOf(columns()), 10);
}
std::string InAppMessageTable::dropTableQuery() const {
    return dropText(TABLE_NAME);
}

std::vector<Table::Column> TriggersTable::columns() const {
    return {{COLUMN_NAME_CAMPAIGN_ID, "TEXT"},
            {COLUMN_NAME_TYPE, "TEXT"},
            {COLUMN_NAME_EVENT_NAME, "TEXT"},
            {COLUMN_NAME_PRIORITY, "INT"}};
}
std::string TriggersTable::createTableQuery() const {
    return createText("", TABLE_NAME, columns());
}
std::string TriggersTable::insertQuery() const {
    return insertText(false, TABLE_NAME, namesOf(columns()));
}
std::string TriggersTable::dropTableQuery() const {
    return dropText(TABLE_NAME);
}

std::vector<Table::Column> AvailableTimeTable::columns() const {
    return {{COLUMN_NAME_CAMPAIGN_ID, "TEXT"},
            {COLUMN_NAME_DAY, "TEXT"},
            {COLUMN_NAME_START_MIN, "INT"},
            {COLUMN_NAME_END_MIN, "INT"}};
}
std::string AvailableTimeTable::createTableQuery() const {
    return createText("", TABLE_NAME, columns());
}
std::string AvailableTimeTable::insertQuery() const {
    return insertText(false, TABLE_NAME, namesOf(columns()));
}
std::string AvailableTimeTable::dropTableQuery() const {
    return dropText(TABLE_NAME);
}

std::vector<Table::Column> CurrentFrequencyCapTable::columns() const {
    return {{COLUMN_NAME_CAMPAIGN_ID, "TEXT UNIQUE"},
            {COLUMN_NAME_CURRENT_FREQUENCY_CAP_PER_SESSION, "INT"},
            {COLUMN_NAME_CURRENT_FREQUENCY_CAP_PER_USER, "INT"},
            {COLUMN_NAME_FREQUENCY_LAST_GROUP_START_TIME, "INT"},
            {COLUMN_NAME_FREQUENCY_LAST_GROUP_COUNT, "INT"}};
}
std::string CurrentFrequencyCapTable::createTableQuery() const {
    return createText("", TABLE_NAME, columns());
}
std::string CurrentFrequencyCapTable::insertQuery() const {
    return insertText(true, TABLE_NAME, namesOf(columns()));
}
std::string CurrentFrequencyCapTable::dropTableQuery() const {
    return dropText(TABLE_NAME);
}

std::vector<Table::Column> ImageTable::columns() const {
    return {{COLUMN_NAME_CAMPAIGN_ID, "TEXT"},  {COLUMN_NAME_ORIENTATION, "TEXT"},
            {COLUMN_NAME_URL, "TEXT"},          {COLUMN_NAME_IMAGE_PATH_STRING, "TEXT"},
            {COLUMN_NAME_CLICK_ACTION, "TEXT"}, {COLUMN_NAME_IS_FIRST_SHOW, "INT"}};
}
std::string ImageTable::createTableQuery() const {
    return createText("", TABLE_NAME, columns());
}
std::string ImageTable::insertQuery() const {
    return insertText(false, TABLE_NAME, namesOf(columns()));
}
std::string ImageTable::dropTableQuery() const {
    return dropText(TABLE_NAME);
}

}  // namespace sorvel
