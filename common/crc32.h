// The checksum that names stored files: CRC-32 of the reflected polynomial
// 0xEDB88320, starting from 0 and without the final inversion. Stored file
// names depend on this exact variant.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

uint32_t ComputeCrc32(size_t length, const void* bytes);
// Over an upper-cased copy of the text, so "abc" and "ABC" agree.
uint32_t ComputeStringCrc32(std::string_view text);
// Of a file's whole contents; 0 when it cannot be read.
uint32_t ComputeFileCrc32(const std::string& path);
