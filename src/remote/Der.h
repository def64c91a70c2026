#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// The DER encoding of the few ASN.1 types a self-signed certificate needs. Every function
// returns the complete encoding (tag, length, content) as bytes in a std::string.
namespace tovo::DER {

inline constexpr uint8_t sequenceTag = 0x30;
inline constexpr uint8_t setTag = 0x31;

// Any element: `tag`, the definite length (short form below 128, else 0x80 + n and n
// big-endian bytes) and `content`.
std::string tlv(uint8_t tag, std::string_view content);
// The concatenated `items` under `tag` (SEQUENCE by default, SET with setTag).
std::string sequence(const std::vector<std::string>& items, uint8_t tag = sequenceTag);
std::string oid(std::initializer_list<uint64_t> components);
std::string utf8String(std::string_view text);
// A non-negative INTEGER from big-endian `bytes`: leading zeros stripped, one zero byte
// prepended when the top bit is set; empty or all zeros is 0.
std::string integer(std::string_view bytes);
std::string smallInteger(uint64_t value);
std::string bitString(std::string_view bits);
// UTCTime before 2050, GeneralizedTime from 2050 on; `unixSeconds` in UTC.
std::string time(int64_t unixSeconds);
// [n] EXPLICIT around an encoded element.
std::string explicitTag(int n, std::string_view element);

}  // namespace tovo::DER
