#include "Common/Table.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "Common/TableDatabase.h"
#include "Platform/FileSystem.h"
#include "support/TestSupport.h"

namespace sorvel {
namespace {

namespace sqlite = platform::sqlite;

// Two tables shaped as the stores' are: one indented with sixteen blanks and
// many placeholders broken into lines, one plain that replaces on conflict.
class WideTable final : public Table {
  public:
    const std::string TABLE_NAME = "Wide";
    std::string createTableQuery() const override {
        std::vector<Column> columns = {{"Id", "TEXT UNIQUE"}};
        for (const auto& name : names()) {
            columns.push_back({name, "INT"});
        }
        return createText("                ", TABLE_NAME, columns);
    }
    std::string insertQuery() const override {
        std::vector<std::string_view> columns = {"Id"};
        columns.insert(columns.end(), names().begin(), names().end());
        return insertText(false, TABLE_NAME, columns, 10);
    }
    std::string dropTableQuery() const override { return dropText(TABLE_NAME); }

  private:
    static const std::vector<std::string_view>& names() {
        static const std::vector<std::string_view> n = {
            "C2",  "C3",  "C4",  "C5",  "C6",  "C7",  "C8",  "C9",  "C10", "C11", "C12", "C13",
            "C14", "C15", "C16", "C17", "C18", "C19", "C20", "C21", "C22", "C23", "C24", "C25"};
        return n;
    }
};

class CountTable final : public Table {
  public:
    const std::string TABLE_NAME = "Count";
    const std::string COLUMN_NAME_ID = "Id";
    const std::string COLUMN_NAME_COUNT = "Count";
    std::string createTableQuery() const override {
        const std::array<Column, 2> columns = {Column{COLUMN_NAME_ID, "TEXT UNIQUE"},
                                               Column{COLUMN_NAME_COUNT, "INT"}};
        return createText("", TABLE_NAME, columns);
    }
    std::string insertQuery() const override {
        const std::array<std::string_view, 2> columns = {COLUMN_NAME_ID, COLUMN_NAME_COUNT};
        return insertText(true, TABLE_NAME, columns);
    }
    std::string dropTableQuery() const override { return dropText(TABLE_NAME); }
};

TEST(Table, TextsAreExact) {
    const CountTable count;
    EXPECT_EQ(count.createTableQuery(),
              "CREATE TABLE IF NOT EXISTS Count (\nId TEXT UNIQUE,\nCount INT)");
    EXPECT_EQ(count.insertQuery(), "INSERT OR REPLACE INTO Count (\nId,\nCount\n) VALUES (?, ?)");
    EXPECT_EQ(count.dropTableQuery(), "DROP TABLE IF EXISTS Count");

    const WideTable wide;
    const std::string create = wide.createTableQuery();
    EXPECT_TRUE(
        create.starts_with("                CREATE TABLE IF NOT EXISTS Wide (\n"
                           "                Id TEXT UNIQUE,\n"
                           "                C2 INT,"))
        << create;
    EXPECT_TRUE(create.ends_with("C24 INT,\n                C25 INT)")) << create;
    const std::string insert = wide.insertQuery();
    EXPECT_TRUE(insert.starts_with("INSERT INTO Wide (\nId,\nC2,\n")) << insert;
    EXPECT_TRUE(
        insert.ends_with("C25\n) VALUES (\n?, ?, ?, ?, ?, ?, ?, ?, ?, ?,\n"
                         "?, ?, ?, ?, ?, ?, ?, ?, ?, ?,\n?, ?, ?, ?, ?)"))
        << insert;
    EXPECT_EQ(std::count(insert.begin(), insert.end(), '?'), 25);
    EXPECT_EQ(wide.createTableQuery(), create);  // the same text on every call
}

// The texts run as they are on a store opened like the SDK's local databases.
TEST(Table, TextsRunOnAnOpenedDatabase) {
    testing::FreshSdk sdk;
    auto db = openTableDatabase("Tables.sqlite", "Tables");
    ASSERT_TRUE(db);
    EXPECT_TRUE(std::filesystem::is_regular_file(platform::documentsFolder() + "/Tables.sqlite"));
    const WideTable wide;
    const CountTable count;
    for (const Table* t : {static_cast<const Table*>(&wide), static_cast<const Table*>(&count)}) {
        EXPECT_EQ(db->execute(t->createTableQuery()), sqlite::Outcome::Done);
        EXPECT_EQ(db->execute(t->createTableQuery()), sqlite::Outcome::Done);  // exists: no-op
    }
    // A second row of an id: the plain insert fails, the replacing one replaces.
    for (int round = 0; round < 2; ++round) {
        sqlite::Statement insert = db->prepare(wide.insertQuery());
        ASSERT_TRUE(insert.prepared());
        insert.bindText(1, "id");
        for (int i = 2; i <= 25; ++i) {
            insert.bindInt64(i, round);
        }
        EXPECT_EQ(insert.step(), round == 0 ? SQLITE_DONE : SQLITE_CONSTRAINT);
        sqlite::Statement replace = db->prepare(count.insertQuery());
        replace.bindText(1, "id");
        replace.bindInt(2, round + 1);
        EXPECT_EQ(replace.step(), SQLITE_DONE);
    }
    {
        // Finalised before the drops, which a statement still reading would lock out.
        sqlite::Statement read = db->prepare("SELECT count(*), max(Count) FROM Count");
        ASSERT_EQ(read.step(), SQLITE_ROW);
        EXPECT_EQ(read.columnInt(0), 1);
        EXPECT_EQ(read.columnInt(1), 2);
    }
    for (const Table* t : {static_cast<const Table*>(&wide), static_cast<const Table*>(&count)}) {
        EXPECT_EQ(db->execute(t->dropTableQuery()), sqlite::Outcome::Done);
        EXPECT_EQ(db->execute(t->dropTableQuery()), sqlite::Outcome::Done);  // missing: no-op
        EXPECT_EQ(db->execute(t->insertQuery()), sqlite::Outcome::NotPrepared);
    }
}

TEST(Table, ADatabaseThatCannotBeOpenedIsAbsentAndADamagedOneReplaced) {
    testing::FreshSdk sdk;
    testing::LogCapture log;
    const std::string documents = platform::documentsFolder();
    std::ofstream(documents + "/Garbage.sqlite") << std::string(4096, 'g');
    auto replaced = openTableDatabase("Garbage.sqlite", "Garbage");
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->execute("CREATE TABLE t (a)"), sqlite::Outcome::Done);
    // A missing folder in the way of the path: nothing can be opened there.
    std::ofstream(documents + "/blocker") << "a file, not a folder";
    EXPECT_FALSE(openTableDatabase("blocker/Inner.sqlite", "Inner"));
    EXPECT_TRUE(log.contains("Garbage database is unreadable"))
        << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(log.contains("can not open Inner database"))
        << ::testing::PrintToString(log.lines());
}

}  // namespace
}  // namespace sorvel
