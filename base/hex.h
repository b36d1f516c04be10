// Hex digits, the one table every layer writes and reads them by: pins and
// formatted codes in the core, digests, names and codes in the tools.
#pragma once

constexpr char HEX_LOWER[] = "0123456789abcdef";
constexpr char HEX_UPPER[] = "0123456789ABCDEF";

// The value of a hex digit (either case), or -1 for anything else.
constexpr int HexValue(char32_t c) {
    return c >= U'0' && c <= U'9'   ? static_cast<int>(c - U'0')
           : c >= U'a' && c <= U'f' ? static_cast<int>(c - U'a') + 10
           : c >= U'A' && c <= U'F' ? static_cast<int>(c - U'A') + 10
                                    : -1;
}
