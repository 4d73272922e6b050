// The host's file services on a real FAT16 volume: a 64 MB image made by mkfs.fat and loop
// mounted. Needs root, the vfat file system in the kernel and loop devices; skipped with the
// reason where the machine does not allow it.
#include "HostTestSupport.h"

#include "platform/api/LastError.h"
#include "platform/host/Discovery.h"
#include "platform/host/HostPlatform.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace platform;
using hosttest::TempDir;

namespace {

std::string WhyNoVfatMount() {
    if (geteuid() != 0) {
        return "mounting a loop image needs root";
    }
    if (hosttest::ReadText("/proc/filesystems").find("\tvfat\n") == std::string::npos) {
        return "this kernel has no vfat file system (not listed in /proc/filesystems)";
    }
    if (!hosttest::HaveProgram("mkfs.fat") || !hosttest::HaveProgram("mount")) {
        return "mkfs.fat (dosfstools) or mount is missing";
    }
    return "";
}

class RealFat : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = WhyNoVfatMount();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        image = dir / "card.img";
        mountPoint = dir / "mnt";
        std::filesystem::create_directory(mountPoint);
        ASSERT_EQ(std::system(("mkfs.fat -F 16 -n VOXCARD -C " + image + " 62528 >/dev/null").c_str()), 0);
        if (std::system(("mount -o loop -t vfat " + image + " " + mountPoint + " 2>/dev/null").c_str()) !=
            0) {
            GTEST_SKIP() << "loop mount of a FAT image was refused here";
        }
        mounted = true;
        platform_ =
            hosttest::FolderPlatform(dir.path(), {{'E', mountPoint, DRIVE_REMOVABLE, true, "VOXCARD"}});
        ASSERT_NE(platform_, nullptr);
    }

    void TearDown() override {
        platform_.reset();
        if (mounted) {
            EXPECT_EQ(std::system(("umount " + mountPoint).c_str()), 0);
        }
    }

    TempDir dir;
    std::string image;
    std::string mountPoint;
    bool mounted = false;
    std::unique_ptr<Platform> platform_;
};

TEST_F(RealFat, AttributesTimesAndGeometryAsWindowsSeesThem) {
    FileSystem& fs = platform_->Files();
    ASSERT_TRUE(fs.CreateDirectory("E:\\VM"));
    Handle h = fs.CreateFile("E:\\VM\\Greeting.vox", GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    // 2009-06-01 12:00:01.5 UTC; FAT keeps write times in 2-second steps.
    const FILETIME write = FILETIME::From(128882484015000000ull);
    ASSERT_TRUE(fs.SetFileTime(h, nullptr, &write, &write));
    DWORD written = 0;
    ASSERT_TRUE(fs.WriteFile(h, "data", 4, &written));
    ASSERT_TRUE(fs.CloseHandle(h));
    h = fs.CreateFile("e:\\vm\\GREETING.VOX", GENERIC_READ, 0, OPEN_EXISTING, 0);
    FILETIME c, a, w;
    ASSERT_TRUE(fs.GetFileTime(h, &c, &a, &w));
    fs.CloseHandle(h);
    EXPECT_LE(write.Value() - w.Value(), 20000000u) << "write time rounded to FAT's 2 s";

    // The attribute byte on the card itself, through the vfat ioctls.
    EXPECT_EQ(fs.GetFileAttributes("E:\\VM\\Greeting.vox"), FILE_ATTRIBUTE_ARCHIVE);
    const DWORD word =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_TRUE(fs.SetFileAttributes("E:\\VM\\Greeting.vox", word));
    EXPECT_EQ(fs.GetFileAttributes("E:\\VM\\Greeting.vox"), word);
    EXPECT_EQ(fs.GetFileAttributes("E:\\VM"), FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(fs.SetFileAttributes("E:\\VM", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(fs.GetFileAttributes("E:\\VM"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);

    // As a restore does: the word set right after the close, without the archive bit. The file's
    // close waits for it, so FAT writes the entry once; a file moved into the closed one's place
    // in between is the one that gets the word.
    const auto restore = [&](const char* path, const char* data) {
        const Handle f = fs.CreateFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        DWORD n = 0;
        return f != InvalidHandle && fs.WriteFile(f, data, 4, &n) &&
               fs.SetFileTime(f, &write, &write, &write) && fs.CloseHandle(f);
    };
    const DWORD restored = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    ASSERT_TRUE(restore("E:\\VM\\KEPT.VOX", "kept"));
    ASSERT_TRUE(fs.SetFileAttributes("E:\\VM\\KEPT.VOX", restored));
    ASSERT_TRUE(restore("E:\\VM\\MOVED.VOX", "left"));
    std::filesystem::rename(mountPoint + "/VM/KEPT.VOX", mountPoint + "/VM/MOVED.VOX");
    ASSERT_TRUE(fs.SetFileAttributes("E:\\VM\\MOVED.VOX", FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(fs.GetFileAttributes("E:\\VM\\MOVED.VOX"), FILE_ATTRIBUTE_SYSTEM);

    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    ASSERT_TRUE(platform_->Drives().GetDiskFreeSpace("E:\\", &spc, &bps, &freeClusters, &total));
    host::FatGeometry fat;
    ASSERT_TRUE(host::ReadFatBootSector(image, &fat));
    EXPECT_EQ(bps, fat.bytesPerSector);
    EXPECT_EQ(spc, fat.sectorsPerCluster);
    EXPECT_EQ(total, fat.totalClusters);
    EXPECT_LT(freeClusters, total);

    // mtools reads what the ioctls wrote into the image.
    if (hosttest::HaveProgram("mattrib")) {
        ASSERT_EQ(std::system(("umount " + mountPoint).c_str()), 0);
        mounted = false;
        const std::string out = dir / "mattrib.txt";
        ASSERT_EQ(std::system(("mattrib -i " + image + " ::/VM/Greeting.vox >" + out).c_str()), 0);
        const std::string text = hosttest::ReadText(out);
        for (const char* flag : {"A", "S", "H", "R"}) {
            EXPECT_NE(text.substr(0, text.find(":")).find(flag), std::string::npos) << text;
        }
        ASSERT_EQ(std::system(("mattrib -i " + image + " ::/VM/MOVED.VOX >" + out).c_str()), 0);
        std::string flags = hosttest::ReadText(out);
        flags = flags.substr(0, flags.find(':'));
        std::erase(flags, ' ');
        EXPECT_EQ(flags, "S") << hosttest::ReadText(out);
        ASSERT_EQ(std::system(("mtype -i " + image + " ::/VM/MOVED.VOX >" + out).c_str()), 0);
        EXPECT_EQ(hosttest::ReadText(out), "kept");
    }
}

} // namespace
