// The account columns in one order, and the mapping between a row and TAccount, shared by the
// SQLite and the PostgreSQL store so both read and write the same fields.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "store.h"

namespace kiv::server {

// "code, password_hash, …" in the order AccountFromRow reads.
extern const char* const kAccountColumns;
inline constexpr int kAccountColumnCount = 27;

// `text(i)` and `number(i)` read column i of the current row.
TAccount AccountFromRow(const std::function<std::string(int)>& text,
                        const std::function<std::int64_t(int)>& number);

// Binds the values of `a` in kAccountColumns order through `text(i, value)` / `number(i, value)`
// (i from 0).
void BindAccount(const TAccount& a, const std::function<void(int, const std::string&)>& text,
                 const std::function<void(int, std::int64_t)>& number);

}  // namespace kiv::server
