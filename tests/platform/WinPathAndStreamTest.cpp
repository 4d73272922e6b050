// The shared path parser and the backup-stream state machines, over an in-memory file.
#include "platform/api/LastError.h"
#include "platform/common/BackupStream.h"
#include "platform/common/WinPath.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace platform;

TEST(WinPath, ParsesWindowsFormsAndRefusesClimbing) {
    WinPath p;
    ASSERT_EQ(ParseWinPath("e:\\\\VM\\\\PROMPTS\\FILE.EXT", &p), ERROR_SUCCESS);
    EXPECT_EQ(p.drive, 'E');
    EXPECT_EQ(p.components, (std::vector<std::string>{"VM", "PROMPTS", "FILE.EXT"}));
    EXPECT_FALSE(p.trailingSeparator);
    EXPECT_EQ(p.ToString(), "E:\\VM\\PROMPTS\\FILE.EXT");
    EXPECT_EQ(p.Relative(), "VM/PROMPTS/FILE.EXT");

    ASSERT_EQ(ParseWinPath("C:/ZEL/./VoxHarbor/Backup/", &p), ERROR_SUCCESS);
    EXPECT_EQ(p.components, (std::vector<std::string>{"ZEL", "VoxHarbor", "Backup"}));
    EXPECT_TRUE(p.trailingSeparator);

    for (const char* root : {"E:", "E:\\", "E:\\\\", "e:/"}) {
        ASSERT_EQ(ParseWinPath(root, &p), ERROR_SUCCESS) << root;
        EXPECT_TRUE(p.IsRoot()) << root;
        EXPECT_EQ(p.Root(), "E:\\");
    }

    EXPECT_EQ(ParseWinPath("E:\\VM\\..\\X", &p), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ParseWinPath("E:\\..", &p), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ParseWinPath("E:/a/../../b", &p), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ParseWinPath(std::string_view("E:\\A\0B", 6), &p), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ParseWinPath("E:\\A:B", &p), ERROR_INVALID_NAME);
    EXPECT_EQ(ParseWinPath("E:\\A*", &p), ERROR_INVALID_NAME);
    EXPECT_EQ(ParseWinPath("E:\\DIR\\*.*", &p, true), ERROR_SUCCESS);
    EXPECT_EQ(ParseWinPath("E:\\D*R\\*.*", &p, true), ERROR_INVALID_NAME); // wildcards only at the end
    EXPECT_EQ(ParseWinPath("VM\\FILE", &p), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(ParseWinPath("", &p), ERROR_PATH_NOT_FOUND);

    ASSERT_EQ(ParseWinPath("/home/user/backup.vhb", &p), ERROR_SUCCESS);
    EXPECT_TRUE(p.isHost);
    EXPECT_EQ(p.hostPath, "/home/user/backup.vhb");
}

TEST(WinPath, PatternsMatchAsFindFirstFileDoes) {
    const struct {
        const char* name;
        const char* pattern;
        bool matches;
    } cases[] = {{"README", "*.*", true},          {".", "*.*", true},
                 {"a.vox", "*.VOX", true},         {"a.vhb", "*.VOX", false},
                 {"P0001.VOX", "P????.VOX", true}, {"P001.VOX", "P????.VOX", false},
                 {"VERSION", "VERSION.*", true},   {"version.txt", "VERSION.TXT", true},
                 {"aXbXc", "a*b*c", true},         {"aXbXd", "a*b*c", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesPattern(c.name, c.pattern), c.matches) << c.name << " ~ " << c.pattern;
    }
    EXPECT_TRUE(LessNoCase("apple", "Banana"));
    EXPECT_FALSE(LessNoCase("BANANA", "apple"));
}

// An in-memory file with injectable failures.
class MemoryFile : public BackupFile {
public:
    bool directory = false;
    std::string data;
    std::uint64_t capacity = UINT64_MAX; // beyond it: ERROR_DISK_FULL
    int failReadAfter = -1;              // fail the n-th and later ReadAt calls (0-based)
    int reads = 0;
    std::vector<std::uint32_t> readSizes;

    bool IsDirectory() const override { return directory; }
    DWORD Size(std::uint64_t* size) override {
        *size = data.size();
        return ERROR_SUCCESS;
    }
    DWORD ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) override {
        if (failReadAfter >= 0 && reads >= failReadAfter) {
            return ERROR_READ_FAULT;
        }
        ++reads;
        readSizes.push_back(count);
        *got = offset >= data.size()
                   ? 0
                   : static_cast<std::uint32_t>(std::min<std::uint64_t>(count, data.size() - offset));
        std::memcpy(buffer, data.data() + offset, *got);
        return ERROR_SUCCESS;
    }
    DWORD Write(const void* buffer, std::uint32_t count) override {
        if (data.size() + count > capacity) {
            return ERROR_DISK_FULL;
        }
        data.append(static_cast<const char*>(buffer), count);
        return ERROR_SUCCESS;
    }
};

std::string ReadStream(MemoryFile& file, DWORD piece) {
    std::string out;
    std::vector<std::uint8_t> buffer(piece);
    void* context = nullptr;
    DWORD read = 0;
    while (BackupReadStream(&file, buffer.data(), piece, &read, FALSE, &context) && read > 0) {
        out.append(reinterpret_cast<const char*>(buffer.data()), read);
    }
    EXPECT_TRUE(BackupReadStream(&file, nullptr, 0, &read, TRUE, &context));
    EXPECT_EQ(context, nullptr);
    return out;
}

std::string Header(std::uint64_t size) {
    std::uint8_t h[BackupStreamHeaderSize];
    MakeBackupDataHeader(size, h);
    return std::string(reinterpret_cast<const char*>(h), sizeof h);
}

std::string Bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>(i * 7 + i / 251);
    }
    return s;
}

TEST(BackupStream, ReadYieldsOneRecordInAnyPieceSizeWithFewRealReads) {
    MemoryFile file;
    file.data = Bytes(600 * 1024 + 13);
    const std::string expected = Header(file.data.size()) + file.data;
    for (DWORD piece : {1u, 19u, 20u, 21u, 1000u, 1024u, 300u * 1024u, 2u * 1024u * 1024u}) {
        SCOPED_TRACE(piece);
        if (piece == 1) {
            MemoryFile small;
            small.data = Bytes(3000);
            EXPECT_EQ(ReadStream(small, 1), Header(3000) + small.data);
            continue;
        }
        file.reads = 0;
        EXPECT_EQ(ReadStream(file, piece), expected);
        // Read ahead: a 600 KiB file costs a handful of real reads, not one per piece.
        EXPECT_LE(file.reads, 8);
    }
    // The header's layout is checked against hand-built headers in the file-service contract.
    MemoryFile dir;
    dir.directory = true;
    EXPECT_EQ(ReadStream(dir, 1024), "");
}

TEST(BackupStream, ReadFailureComesBackAfterTheBytesAlreadyRead) {
    MemoryFile file;
    file.data = Bytes(700 * 1024);
    file.failReadAfter = 1; // the first chunk reads, the second fails
    std::vector<std::uint8_t> buffer(1024);
    void* context = nullptr;
    DWORD read = 0;
    std::uint64_t total = 0;
    BOOL ok = TRUE;
    while ((ok = BackupReadStream(&file, buffer.data(), 1024, &read, FALSE, &context)) && read > 0) {
        total += read;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), ERROR_READ_FAULT);
    EXPECT_EQ(total, 20u + 256u * 1024u); // header and the one chunk that was read, nothing invented
    EXPECT_TRUE(BackupReadStream(&file, nullptr, 0, &read, TRUE, &context));

    // A file that shrinks after the stream began: the stream ends with the file.
    MemoryFile shrinking;
    shrinking.data = Bytes(5000);
    context = nullptr;
    ASSERT_TRUE(BackupReadStream(&shrinking, buffer.data(), 1024, &read, FALSE, &context));
    shrinking.data.resize(100);
    std::string rest;
    while (BackupReadStream(&shrinking, buffer.data(), 1024, &read, FALSE, &context) && read > 0) {
        rest.append(reinterpret_cast<const char*>(buffer.data()), read);
    }
    EXPECT_LT(rest.size(), 5000u);
    BackupReadStream(&shrinking, nullptr, 0, &read, TRUE, &context);
}

TEST(BackupStream, WriteAcceptsHeadersSplitAtEveryPosition) {
    const std::string payload = Bytes(50);
    const std::string stream = Header(payload.size()) + payload + Header(3) + "xyz";
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        MemoryFile file;
        void* context = nullptr;
        DWORD written = 0;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
        ASSERT_TRUE(BackupWriteStream(&file, bytes, static_cast<DWORD>(cut), &written, FALSE, &context));
        EXPECT_EQ(written, cut);
        ASSERT_TRUE(BackupWriteStream(&file, bytes + cut, static_cast<DWORD>(stream.size() - cut), &written,
                                      FALSE, &context));
        EXPECT_EQ(written, stream.size() - cut);
        EXPECT_EQ(file.data, payload + "xyz");
        EXPECT_TRUE(BackupWriteStream(&file, nullptr, 0, &written, TRUE, &context));
        EXPECT_EQ(context, nullptr);
    }
}

// Zero headers, unknown stream ids and closed handles are refused in the file-service contract.
TEST(BackupStream, WriteTakesShortRecordsAndReportsFullFilesHonestly) {
    // A record larger than what arrives is fine: the file ends where the data stops.
    MemoryFile partial;
    const std::string claim = Header(1000) + "only this";
    void* context = nullptr;
    DWORD written = 0;
    EXPECT_TRUE(BackupWriteStream(&partial, reinterpret_cast<const std::uint8_t*>(claim.data()),
                                  static_cast<DWORD>(claim.size()), &written, FALSE, &context));
    EXPECT_EQ(partial.data, "only this");
    BackupWriteStream(&partial, nullptr, 0, &written, TRUE, &context);

    // Disk full: the error comes back, and only bytes that reached the file count as written.
    MemoryFile full;
    full.capacity = 10;
    const std::string big = Header(30) + Bytes(30);
    context = nullptr;
    EXPECT_FALSE(BackupWriteStream(&full, reinterpret_cast<const std::uint8_t*>(big.data()),
                                   static_cast<DWORD>(big.size()), &written, FALSE, &context));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 20u); // the header was consumed, no data reached the file
    EXPECT_TRUE(full.data.empty());
    BackupWriteStream(&full, nullptr, 0, &written, TRUE, &context);

    // A read context handed to the writer is refused, not misread.
    context = nullptr;
    MemoryFile file;
    MemoryFile source;
    source.data = "x";
    std::uint8_t buffer[8];
    DWORD read = 0;
    ASSERT_TRUE(BackupReadStream(&source, buffer, sizeof buffer, &read, FALSE, &context));
    EXPECT_FALSE(BackupWriteStream(&file, buffer, 8, &written, FALSE, &context));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    BackupReadStream(&source, nullptr, 0, &read, TRUE, &context);
}

} // namespace
