// savefile.h - the sizes of the classic savefile format that every part of
// the capture programs reads or writes by: trawlcap's writers, the index
// and trawlcap-extract's readers.
#ifndef CAPTURE_SAVEFILE_H
#define CAPTURE_SAVEFILE_H

#include <cstddef>
#include <cstdint>

constexpr size_t kFileHeader = 24;       // a savefile's header
constexpr size_t kRecordHeader = 16;     // a savefile record's header
constexpr uint32_t kMaxSnapLen = 262144; // -s 0, the largest -s, the largest record read

#endif // CAPTURE_SAVEFILE_H
