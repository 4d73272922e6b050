// The Windows SDK's own view of a backup stream, for comparing ours with it: kept apart from the
// test files because <windows.h> and our Windows-semantics types cannot meet in one file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fk_win32_test {

// The header of a file's one data record as the SDK's WIN32_STREAM_ID lays it out: BACKUP_DATA,
// normal attributes, the size, no name; the bytes up to the name field.
std::vector<std::uint8_t> SdkDataRecordHeader(std::uint64_t size);

// The whole stream BackupRead gives for a file (no security data). False with *error when the
// system's BackupRead refuses (Wine answers ERROR_NOT_SUPPORTED).
bool SystemBackupRead(const std::string& path, std::vector<std::uint8_t>* stream, std::uint32_t* error);

// Whether the program runs under Wine rather than on Windows itself.
bool RunningOnWine();

} // namespace fk_win32_test
