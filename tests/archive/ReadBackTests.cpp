// A backup archive read back from its medium part by part while the card is still being read:
// what an early part gets wrong stops the backup there, the end checks the two blocks the seal
// wrote again and the length, and every byte is read through a handle that goes around the
// system's cache.
#include "MemoryCard.h"
#include "archive/Archive.h"
#include "archive/Check.h"
#include "archive/ReadBack.h"
#include "platform/api/LastError.h"
#include "platform/common/ForwardingFileSystem.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

using namespace test;

namespace {

constexpr const char* ArchivePath = "C:\\own.vhb";

// The disk as the read-back sees it: reads through handles opened with FILE_FLAG_NO_BUFFERING
// pass through onRead, which may change what the medium gives or fail the read; which bytes
// they covered, and when, is kept.
class Medium final : public platform::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    // offset of data[0] in the file; returns 0 or the error the read fails with.
    std::function<DWORD(std::uint64_t offset, std::uint8_t* data, DWORD size)> onRead;
    std::set<std::uint64_t> bytesRead; // offsets read unbuffered
    std::uint64_t entriesAtFirstRead = UINT64_MAX;
    std::uint64_t entriesNow = 0;
    int flushes = 0;

    platform::Handle CreateFile(std::string_view path, DWORD access, DWORD share, DWORD disposition,
                                DWORD flags) override {
        const platform::Handle h = ForwardingFileSystem::CreateFile(path, access, share, disposition, flags);
        if (h != platform::InvalidHandle && (flags & FILE_FLAG_NO_BUFFERING)) {
            positions_[h] = 0;
        }
        return h;
    }
    BOOL SetFilePointer(platform::Handle h, std::uint64_t position) override {
        if (positions_.contains(h)) {
            positions_[h] = position;
        }
        return ForwardingFileSystem::SetFilePointer(h, position);
    }
    BOOL FlushFileBuffers(platform::Handle h) override {
        ++flushes;
        return ForwardingFileSystem::FlushFileBuffers(h);
    }
    BOOL ReadFile(platform::Handle h, void* buffer, DWORD toRead, DWORD* read) override {
        if (!positions_.contains(h)) {
            return ForwardingFileSystem::ReadFile(h, buffer, toRead, read);
        }
        const std::uint64_t at = positions_[h];
        if (!ForwardingFileSystem::ReadFile(h, buffer, toRead, read)) {
            return FALSE;
        }
        positions_[h] += *read;
        entriesAtFirstRead = std::min(entriesAtFirstRead, entriesNow);
        for (DWORD i = 0; i < *read; ++i) {
            bytesRead.insert(at + i);
        }
        if (onRead) {
            if (const DWORD error = onRead(at, static_cast<std::uint8_t*>(buffer), *read)) {
                platform::SetLastError(error);
                return FALSE;
            }
        }
        return TRUE;
    }

private:
    std::map<platform::Handle, std::uint64_t> positions_;
};

struct Outcome {
    bool walked = false;   // the whole card went into the archive, and the parts read back
    bool finished = false; // the rest read back and matched after the seal
    archive::WriteProblem problem;
    std::uint64_t entries = 0; // entries written when the walk ended
    std::uint64_t size = 0;    // of the archive
    Bytes bytes;
};

struct ReadBack : MemoryCard {
    void SetUp() override {
        MemoryCard::SetUp();
        medium = std::make_unique<Medium>(Fs());
        MakeDirectory("E:\\VM");
        for (int i = 0; i < 12; ++i) {
            // Streams that end mid-block, so parts end at every kind of position.
            MakeFile("E:\\VM\\M" + std::to_string(i) + ".VOX",
                     Bytes(4000 + 333 * i, static_cast<std::uint8_t>(i)));
        }
    }

    // Backup's order of calls: the card written with the read-back told of each entry, the seal,
    // the writer's close, the rest read back. afterSeal runs between the seal and the close.
    Outcome Run(std::uint64_t partBytes, const std::function<void(platform::Handle writer)>& afterSeal = {}) {
        Outcome out;
        medium->bytesRead.clear();
        medium->entriesAtFirstRead = UINT64_MAX;
        medium->flushes = 0;
        const auto h = medium->CreateFile(ArchivePath, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0);
        EXPECT_NE(h, platform::InvalidHandle);
        archive::ArchiveTally tally;
        {
            archive::ArchiveReadBack readBack(*medium, h, ArchivePath, archive::VersionBlockOf("1.10"),
                                              partBytes);
            archive::WriterCallbacks cb;
            cb.tally = &tally;
            cb.entryWritten = [&](archive::WriteProblem* problem) {
                medium->entriesNow = tally.entries;
                return readBack.Written(tally, problem);
            };
            out.walked = archive::WriteVersionBlock(*medium, h, "1.10", &out.problem, &tally) &&
                         archive::WriteIntegrityBlock(*medium, h, {}, &out.problem) &&
                         archive::WriteArchiveTree(*medium, "E:\\", h, cb, &out.problem);
            out.entries = tally.entries;
            medium->entriesNow = tally.entries;
            if (out.walked) {
                EXPECT_TRUE(archive::SealArchive(*medium, h, "1.10", tally, &out.problem));
                if (afterSeal) {
                    afterSeal(h);
                }
            }
            EXPECT_TRUE(medium->CloseHandle(h));
            out.finished = out.walked && readBack.Finish(tally, &out.problem);
        }
        out.bytes = Contents(ArchivePath);
        out.size = out.bytes.size();
        // The read-back let go of the archive: it can be removed, as a failed backup's is.
        EXPECT_TRUE(Fs().DeleteFile(ArchivePath));
        return out;
    }

    std::unique_ptr<Medium> medium;
};

TEST_F(ReadBack, EveryByteIsReadBackFromTheMediumWhileTheCardIsStillBeingWritten) {
    const Outcome small = Run(8 * 1024);
    ASSERT_TRUE(small.finished) << small.problem.error;
    EXPECT_EQ(small.entries, 13u);
    // Read back in parts, each flushed first, the first while most of the card was still to come.
    EXPECT_GE(medium->flushes, 5);
    EXPECT_LT(medium->entriesAtFirstRead, 4u);
    EXPECT_EQ(medium->bytesRead.size(), small.size);
    EXPECT_EQ(*medium->bytesRead.rbegin(), small.size - 1);
    // The archive itself is sound and sealed.
    MakeFile("C:\\copy.vhb", small.bytes);
    const auto h = Fs().CreateFile("C:\\copy.vhb", GENERIC_READ, 0, OPEN_EXISTING, 0);
    const archive::ArchiveCheck check = archive::CheckArchive(Fs(), h, small.size, true);
    Fs().CloseHandle(h);
    EXPECT_TRUE(check.checksumVerified);

    // A card smaller than one part: all of it is read back after the seal.
    const Outcome whole = Run(archive::ArchiveReadBack::DefaultPartBytes);
    ASSERT_TRUE(whole.finished);
    EXPECT_EQ(medium->entriesAtFirstRead, 13u);
    EXPECT_EQ(medium->bytesRead.size(), whole.size);
    EXPECT_EQ(whole.bytes, small.bytes);
}

TEST_F(ReadBack, BytesThatDoNotReadBackAsWrittenFailTheBackupAsEarlyAsTheyAreRead) {
    struct Case {
        const char* what;
        std::uint64_t offset;
        bool afterSeal; // the medium goes wrong only once the archive is sealed
        int walked;     // the card was written whole all the same (-1: either)
    };
    const Case cases[] = {
        {"a data byte of the first part", 3000, false, 0},
        {"the version block, read with the first part", 3, false, 0},
        {"the version block as sealed", 3, true, 1},
        {"the integrity record as sealed", archive::BlockSize + archive::IntegritySumAOffset, true, 1},
        {"the last block", 0, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool sealed = false;
        std::uint64_t target = c.offset;
        if (target == 0) {
            target = Run(8 * 1024).size - 10; // the same card writes the same archive again
        }
        medium->onRead = [&](std::uint64_t at, std::uint8_t* data, DWORD size) -> DWORD {
            if ((sealed || !c.afterSeal) && target >= at && target < at + size) {
                data[target - at] ^= 0x20;
            }
            return 0;
        };
        const Outcome out = Run(8 * 1024, [&](platform::Handle) { sealed = true; });
        medium->onRead = {};
        EXPECT_FALSE(out.finished);
        if (c.walked >= 0) {
            EXPECT_EQ(out.walked, c.walked == 1);
        }
        EXPECT_EQ(out.problem.kind, archive::WriteProblem::Kind::ReadBack);
        EXPECT_EQ(out.problem.error, DWORD{ERROR_SUCCESS});
        if (c.walked == 0) {
            // Stopped at the next part at the latest, not after the whole card: the first part
            // was the only one flushed.
            EXPECT_EQ(medium->flushes, 1);
            EXPECT_LT(out.entries, 13u);
        }
    }

    // The file grew after the seal: what was written is followed by more.
    const Outcome extended = Run(8 * 1024, [&](platform::Handle writer) {
        DWORD n = 0;
        const Bytes more(archive::BlockSize, 0);
        std::uint64_t size = 0;
        ASSERT_TRUE(medium->GetFileSize(writer, &size));
        ASSERT_TRUE(medium->SetFilePointer(writer, size));
        ASSERT_TRUE(medium->WriteFile(writer, more.data(), archive::BlockSize, &n));
    });
    EXPECT_FALSE(extended.finished);
    EXPECT_EQ(extended.problem.kind, archive::WriteProblem::Kind::ReadBack);
}

TEST_F(ReadBack, AFailedReadFlushOrOpenOfTheReadBackIsReportedWithItsError) {
    // A read that fails in the second part: the walk stops there with the read's error.
    medium->onRead = [](std::uint64_t at, std::uint8_t*, DWORD) -> DWORD {
        return at >= 9 * 1024 ? ERROR_NOT_READY : 0;
    };
    const Outcome read = Run(8 * 1024);
    medium->onRead = {};
    EXPECT_FALSE(read.walked);
    EXPECT_EQ(read.problem.kind, archive::WriteProblem::Kind::ReadBack);
    EXPECT_EQ(read.problem.error, DWORD{ERROR_NOT_READY});
    EXPECT_LT(read.entries, 13u);
    EXPECT_LE(medium->flushes, 2);

    // The same read failing after the seal, when the rest is read back.
    medium->onRead = [](std::uint64_t at, std::uint8_t*, DWORD size) -> DWORD {
        return at + size > 9 * 1024 ? ERROR_NOT_READY : 0;
    };
    const Outcome late = Run(archive::ArchiveReadBack::DefaultPartBytes);
    medium->onRead = {};
    EXPECT_TRUE(late.walked);
    EXPECT_FALSE(late.finished);
    EXPECT_EQ(late.problem.error, DWORD{ERROR_NOT_READY});

    // A part that cannot be put on the disk is a write that failed; an archive that cannot be
    // opened again is a read that failed.
    struct Fault {
        platform::FileCall call;
        archive::WriteProblem::Kind kind;
    };
    for (const Fault f : {Fault{platform::FileCall::Flush, archive::WriteProblem::Kind::ArchiveWriteFailed},
                          Fault{platform::FileCall::Open, archive::WriteProblem::Kind::ReadBack}}) {
        int opens = 0;
        SetCallFault([&](platform::FileCall call, std::string_view path) -> DWORD {
            const bool second = f.call == platform::FileCall::Open && call == platform::FileCall::Open &&
                                path == ArchivePath && ++opens == 2;
            return (call == f.call && f.call == platform::FileCall::Flush) || second ? ERROR_GEN_FAILURE : 0;
        });
        const Outcome out = Run(8 * 1024);
        SetCallFault({});
        EXPECT_FALSE(out.walked);
        EXPECT_EQ(out.problem.kind, f.kind);
        EXPECT_EQ(out.problem.error, DWORD{ERROR_GEN_FAILURE});
        EXPECT_LE(medium->flushes, 1);
    }
}

} // namespace
