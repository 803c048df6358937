// The wave-format records the audio layer reports a device's mix format in, laid out byte for
// byte as Windows lays them out (WAVEFORMATEX is 18 bytes, WAVEFORMATEXTENSIBLE 40), because
// the audio ring keeps a device's format as those raw bytes.
#pragma once

#include <cstdint>
#include <cstring>

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

#pragma pack(push, 1)
struct WAVEFORMATEX {
  std::uint16_t wFormatTag;
  std::uint16_t nChannels;
  std::uint32_t nSamplesPerSec;
  std::uint32_t nAvgBytesPerSec;
  std::uint16_t nBlockAlign;
  std::uint16_t wBitsPerSample;
  std::uint16_t cbSize;  // bytes of format-specific data after these 18
};

struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    std::uint16_t wValidBitsPerSample;
    std::uint16_t wSamplesPerBlock;
    std::uint16_t wReserved;
  } Samples;
  std::uint32_t dwChannelMask;  // SPEAKER_* bits, the same bits as FFmpeg's AV_CH_*
  GUID SubFormat;
};
#pragma pack(pop)

static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);

inline constexpr std::uint16_t WAVE_FORMAT_PCM = 0x0001;
inline constexpr std::uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr std::uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

inline constexpr std::uint32_t SPEAKER_FRONT_LEFT = 0x1;
inline constexpr std::uint32_t SPEAKER_FRONT_RIGHT = 0x2;

// {00000001-0000-0010-8000-00AA00389B71}
inline constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
// {00000003-0000-0010-8000-00AA00389B71}
inline constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
