#pragma once
// RIFF WAVE files of 16-bit PCM, mono, little endian on every system (the same bytes on
// Linux and Windows).
#include <cstdint>
#include <span>
#include <string>
#include <vector>

std::vector<uint8_t> WavBytes(std::span<const int16_t> samples, uint32_t sampleRate);
// False (and `error` says why) when the file could not be written whole.
bool WriteWavFile(const std::string& path, std::span<const int16_t> samples, uint32_t sampleRate, std::string* error);

// The samples and rate of a file WavBytes wrote; false for anything else.
bool ReadWavBytes(std::span<const uint8_t> bytes, std::vector<int16_t>& samples, uint32_t& sampleRate);
