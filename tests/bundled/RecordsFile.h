// The records file of the sqlite plug-in, opened by a test as any other
// reader of it would open it.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

class RecordsFile {
public:
    explicit RecordsFile(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(db_, 5000);
    }
    ~RecordsFile() { sqlite3_close(db_); }

    // The rows of `sql`, columns joined by '|'.
    std::vector<std::string> rows(const std::string& sql) {
        std::vector<std::string> result;
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db_);
        while (statement && sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                if (column) row += '|';
                const unsigned char* text = sqlite3_column_text(statement, column);
                row += text ? reinterpret_cast<const char*>(text) : "NULL";
            }
            result.push_back(row);
        }
        sqlite3_finalize(statement);
        return result;
    }
    std::string value(const std::string& sql) {
        auto found = rows(sql);
        return found.empty() ? std::string("<none>") : found[0];
    }
    bool execute(const std::string& sql) {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }

private:
    sqlite3* db_ = nullptr;
};
