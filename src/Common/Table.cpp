#include "Common/Table.h"

namespace sorvel {

std::string Table::createText(std::string_view indent, std::string_view table,
                              std::span<const Column> columns) {
    std::string out(indent);
    out.append("CREATE TABLE IF NOT EXISTS ").append(table).append(" (");
    for (std::size_t i = 0; i < columns.size(); ++i) {
        out.append(i == 0 ? "\n" : ",\n").append(indent);
        out.append(columns[i].name).append(" ").append(columns[i].declaration);
    }
    return out + ")";
}

std::string Table::insertText(bool replace, std::string_view table,
                              std::span<const std::string_view> columns, int perLine) {
    std::string out = replace ? "INSERT OR REPLACE INTO " : "INSERT INTO ";
    out.append(table).append(" (\n");
    for (std::size_t i = 0; i < columns.size(); ++i) {
        out.append(i == 0 ? "" : ",\n").append(columns[i]);
    }
    out.append("\n) VALUES (");
    if (perLine > 0) {
        out += '\n';
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) {
            out += perLine > 0 && i % static_cast<std::size_t>(perLine) == 0 ? ",\n" : ", ";
        }
        out += '?';
    }
    return out + ")";
}

std::string Table::dropText(std::string_view table) {
    return std::string("DROP TABLE IF EXISTS ").append(table);
}

}  // namespace sorvel
