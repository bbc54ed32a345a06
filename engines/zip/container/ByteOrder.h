#pragma once

#include <cstdint>
#include <string>

// ZIP stores every number little-endian, whatever the host.
namespace vexa::zipbytes {

inline uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get64(const uint8_t* p) {
    return static_cast<uint64_t>(get32(p)) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}

inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void append16(std::string& out, uint16_t v) {
    uint8_t b[2];
    put16(b, v);
    out.append(reinterpret_cast<const char*>(b), 2);
}
inline void append32(std::string& out, uint32_t v) {
    uint8_t b[4];
    put32(b, v);
    out.append(reinterpret_cast<const char*>(b), 4);
}
inline void append64(std::string& out, uint64_t v) {
    uint8_t b[8];
    put64(b, v);
    out.append(reinterpret_cast<const char*>(b), 8);
}

} // namespace vexa::zipbytes
