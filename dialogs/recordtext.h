// SPDX-License-Identifier: MIT
//
// Record fields as the dialogs show them.
#pragma once

#include "discovery.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

namespace RecordText {

// A text field byte for byte (Latin-1), up to its NUL or its width.
template <std::size_t N> QString text(const char (&field)[N])
{
    const std::string s = Discovery::fieldText(field);
    return QString::fromLatin1(s.data(), int(s.size()));
}

// Stored times 100; 'g' with six digits shows every 16-bit value exactly.
inline QString version(const std::uint8_t (&field)[2])
{
    return QString::number(Discovery::u16(field) / 100.0, 'g', 6);
}

} // namespace RecordText
