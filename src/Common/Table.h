#pragma once

#include <span>
#include <string>
#include <string_view>

namespace sorvel {

// A table of one of the SDK's local databases (the message history, the
// in-app campaigns): it knows its name and columns and gives the texts that
// create it, insert one row ("?" per column, in column order) and drop it.
// Conformers hold only their names, fixed when built, and build each text
// anew from them on every call; any thread may ask.
class Table {
  public:
    virtual ~Table() = default;
    // "CREATE TABLE IF NOT EXISTS <name> (...)".
    virtual std::string createTableQuery() const = 0;
    // The INSERT of one row with one "?" per column, in column order.
    virtual std::string insertQuery() const = 0;
    // "DROP TABLE IF EXISTS <name>", nothing after the name.
    virtual std::string dropTableQuery() const = 0;

  protected:
    // A column as the create text declares it: "<name> <declaration>".
    struct Column {
        std::string_view name;
        std::string_view declaration;  // "TEXT", "INT", "TEXT UNIQUE"
    };

    // `indent`, "CREATE TABLE IF NOT EXISTS <table> (", then every column on
    // a line of its own after `indent`, separated by "," and closed by ")":
    // "CREATE TABLE IF NOT EXISTS T (\nA TEXT,\nB INT)" with no indent.
    static std::string createText(std::string_view indent, std::string_view table,
                                  std::span<const Column> columns);

    // "INSERT INTO " (or "INSERT OR REPLACE INTO " when `replace`), the
    // table, " (\n", the column names joined by ",\n", "\n) VALUES (", the
    // placeholders "?" joined by ", " and ")". With `perLine` above 0 the
    // placeholders start on a new line and break after every `perLine` of
    // them (",\n"); with 0 they stay on one line.
    static std::string insertText(bool replace, std::string_view table,
                                  std::span<const std::string_view> columns, int perLine = 0);

    // "DROP TABLE IF EXISTS <table>".
    static std::string dropText(std::string_view table);
};

}  // namespace sorvel
