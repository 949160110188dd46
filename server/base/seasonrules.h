#pragma once

#include <QString>

// What the season's codes, times and passwords must look like, the same whether the command line
// or the dashboard takes them. Pure checks: nothing is looked up.
namespace qav::rules {

inline constexpr int kMinPasswordLength = 8;
inline constexpr int kMaxPasswordLength = 128; // hashing a longer one is work for nothing

// 1 to 32 letters, digits, '-' or '_': a venue's place code, a performance's business code.
bool isValidCode(const QString &code);
// A start as YYYYMMDDhhmm from that form, "YYYY-MM-DD hh:mm" or "YYYY-MM-DDThh:mm"; empty when the
// text is none of them or no such time.
QString normalStart(const QString &text);

} // namespace qav::rules
