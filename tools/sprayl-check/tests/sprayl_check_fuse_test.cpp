// Reading past the cache of FUSE file systems: exFAT through exfat-fuse on a
// loop device, over a fake drive and over an image changed behind the
// mount. The daemon reads the device through the device's page cache, which
// must be dropped before a check can speak for the drive.
#include "mounts_linux.h"
#include "program_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct MountLineCase {
    const char* line;
    bool parses;
    unsigned major;
    unsigned minor;
    const char* type;
    const char* source;
    FileSystemKind kind;
};

const MountLineCase mount_line_cases[] = {
    {"44 26 7:0 / /media/stick rw,nosuid - fuseblk /dev/loop0 rw,user_id=0\n", true, 7, 0,
     "fuseblk", "/dev/loop0", file_system_fuse_device},
    {"36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 shared:4 - ext3 /dev/root rw\n", true, 98, 0,
     "ext3", "/dev/root", file_system_local},
    {"50 26 8:17 / /media/my\\040stick rw - fuseblk /dev/disk\\040one rw\n", true, 8, 17, "fuseblk",
     "/dev/disk one", file_system_fuse_device},
    {"51 26 0:51 / /mnt/host rw - fuse.sshfs me@host:/ rw\n", true, 0, 51, "fuse.sshfs",
     "me@host:/", file_system_network},
    {"52 26 0:52 / /run/user/1000/gvfs rw - fuse.gvfsd-fuse gvfsd-fuse rw\n", true, 0, 52,
     "fuse.gvfsd-fuse", "gvfsd-fuse", file_system_fuse},
    {"53 26 0:53 / /srv rw - nfs4 server:/export rw\n", true, 0, 53, "nfs4", "server:/export",
     file_system_network},
    {"54 26 0:54 / /sys/fs/fuse/connections rw - fusectl fusectl rw\n", true, 0, 54, "fusectl",
     "fusectl", file_system_local},
    {"55 26 0:55 / /dev/shm rw - tmpfs tmpfs rw\n", true, 0, 55, "tmpfs", "tmpfs",
     file_system_local},
    {"56 26 0:56 / /mnt rw - cifs //server/share rw\n", true, 0, 56, "cifs", "//server/share",
     file_system_network},
    {"not a mount line\n", false, 0, 0, "", "", file_system_local},
    {"44 26 7:0 / /mnt rw no separator fuseblk /dev/loop0\n", false, 0, 0, "", "",
     file_system_local},
    {"44 26 7 / /mnt rw - ext4 /dev/sda1 rw\n", false, 0, 0, "", "", file_system_local},
};

TEST(MountInfo, LinesAreReadAndTheirFileSystemsSorted) {
    for (const MountLineCase& c : mount_line_cases) {
        MountLine mount = {};
        bool parsed = parse_mount_line(c.line, &mount);
        ASSERT_EQ(parsed, c.parses) << c.line;
        if (!parsed) {
            continue;
        }
        EXPECT_EQ(mount.device, makedev(c.major, c.minor)) << c.line;
        EXPECT_STREQ(mount.type, c.type) << c.line;
        EXPECT_STREQ(mount.source, c.source) << c.line;
        EXPECT_EQ(file_system_kind(mount.type), c.kind) << c.line;
    }
}

// An exFAT file system mounted through exfat-fuse on a loop device, with
// what it needs to be undone. Empty mount point, with why, where this
// machine cannot have one.
struct ExfatDrive {
    std::string device;
    std::string mount_point;
    std::string why_not;
};

std::string missing_for_fuse() {
    if (geteuid() != 0) {
        return "loop devices and FUSE mounts need root";
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        return "no /dev/fuse here";
    }
    ProgramRun tools = run_shell("command -v losetup mkfs.exfat mount.exfat-fuse setpriv");
    if (tools.exit_code != 0) {
        return "missing losetup, mkfs.exfat, mount.exfat-fuse or setpriv (tools/install-deps "
               "installs them)";
    }
    return "";
}

// Formats backing (an image file, or a fake drive's file) and mounts it;
// every user may read the files, as the unprivileged check needs.
ExfatDrive mount_exfat(const std::string& backing, const std::string& name) {
    ExfatDrive drive = {"", "", ""};
    ProgramRun loop = run_shell("losetup --find --show " + backing);
    if (loop.exit_code != 0) {
        drive.why_not = "no loop device can be had here: " + loop.err;
        return drive;
    }
    drive.device = loop.out.substr(0, loop.out.find('\n'));
    detach_loops_later(backing);
    std::string mount_point = scratch_path(name);
    std::filesystem::create_directories(mount_point);
    ProgramRun mounted =
        run_shell("mkfs.exfat " + drive.device + " > /dev/null && " +
                  "mount.exfat-fuse -o allow_other,umask=0 " + drive.device + " " + mount_point);
    clean_up_later("umount " + mount_point);
    if (mounted.exit_code != 0) {
        drive.why_not = "cannot mount exFAT through FUSE here: " + mounted.err;
        return drive;
    }
    drive.mount_point = mount_point;
    return drive;
}

void unmount_exfat(const ExfatDrive& drive) {
    run_shell("umount " + drive.mount_point + "; losetup -d " + drive.device);
}

// A fake drive that claims 96 MiB and holds 24: writes past that are lost
// and reads there give zeros, as on the fakes sold formatted exFAT.
TEST(FuseCache, AFakeDriveFormattedExfatIsFoundDamaged) {
    std::string missing = missing_for_fuse();
    if (missing.empty() && std::string(fake_drive_program_path).empty()) {
        missing = "the fake drive was not built: no libfuse3 (tools/install-deps installs it)";
    }
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    std::string fake = scratch_path("fake");
    std::filesystem::create_directories(fake);
    ProgramRun started = run_shell(std::string(fake_drive_program_path) +
                                   " --claims 96M --holds 24M --past zeros -s " + fake);
    clean_up_later("umount " + fake);
    ASSERT_EQ(started.exit_code, 0) << started.err;
    ExfatDrive drive = mount_exfat(fake + "/drive", "fake-mnt");
    if (drive.mount_point.empty()) {
        GTEST_SKIP() << drive.why_not;
    }

    ProgramRun fill = run_shell(sprayl_check + " --fill " + drive.mount_point + " --file-size 8M");
    EXPECT_EQ(fill.exit_code, 1) << fill.out << fill.err;
    EXPECT_NE(fill.out.find("\nresult: DAMAGED\n"), std::string::npos) << fill.out;
    // exfat-fuse does not say where its files lie, so the verdict estimates
    // what the drive kept; the damage past it reads as zeros.
    EXPECT_EQ(fill.out.find("verdict: it kept "), 0u) << fill.out;
    EXPECT_NE(fill.out.find(" blank: all 00\n"), std::string::npos) << fill.out;
    EXPECT_TRUE(has_line(fill.out, "read: around the cache, with the cache of the FUSE file "
                                   "system's device dropped (BLKFLSBUF)"))
        << fill.out;

    ProgramRun check = run_shell(sprayl_check + " " + drive.mount_point);
    EXPECT_EQ(check.exit_code, 1) << check.out << check.err;
    EXPECT_NE(check.out.find("were lost: reads there give zeros\n"), std::string::npos)
        << check.out;
    unmount_exfat(drive);
    run_shell("umount " + fake);
}

// A fill kept whole. Without the right to drop the loop device's cache, the
// check cannot speak for the drive: it finds nothing wrong, but does not
// call that intact. Then the bytes past 24 MiB of the image are changed
// behind the mount while the device's cache still holds them as written:
// as root the check drops that cache and finds the change.
TEST(FuseCache, DataChangedBehindTheMountIsFoundOrNotConfirmed) {
    std::string missing = missing_for_fuse();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    std::string image = scratch_path("exfat.img");
    ASSERT_EQ(run_shell("truncate -s 40M " + image).exit_code, 0);
    ExfatDrive drive = mount_exfat(image, "image-mnt");
    if (drive.mount_point.empty()) {
        GTEST_SKIP() << drive.why_not;
    }
    ProgramRun fill = run_shell(sprayl_check + " --fill " + drive.mount_point + " --file-size 8M");
    ASSERT_EQ(fill.exit_code, 0) << fill.out << fill.err;

    // An unprivileged user, who cannot open the device to drop its cache.
    std::string copy = scratch_path("sprayl-check");
    std::filesystem::copy_file(sprayl_check, copy,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(std::filesystem::path(copy).parent_path(),
                                 std::filesystem::perms::others_read |
                                     std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
    std::string unprivileged_check =
        "setpriv --reuid=65534 --regid=65534 --clear-groups " + copy + " " + drive.mount_point;
    ProgramRun unconfirmed = run_shell(unprivileged_check);
    EXPECT_EQ(unconfirmed.exit_code, 3) << unconfirmed.out << unconfirmed.err;
    EXPECT_EQ(unconfirmed.out.find("verdict: unconfirmed: all "), 0u) << unconfirmed.out;
    EXPECT_EQ(unconfirmed.out.find(": intact\n"), std::string::npos) << unconfirmed.out;
    EXPECT_TRUE(has_line(unconfirmed.out, "result: UNCONFIRMED, possibly read from memory"))
        << unconfirmed.out;
    EXPECT_TRUE(has_line(unconfirmed.out, "read: POSSIBLY FROM MEMORY: the cache of the FUSE "
                                          "file system's device could not be dropped"))
        << unconfirmed.out;
    EXPECT_NE(unconfirmed.err.find("cannot open " + drive.device + " to drop its cache"),
              std::string::npos)
        << unconfirmed.err;
    EXPECT_NE(unconfirmed.err.find("unplug the drive and plug it in again"), std::string::npos)
        << unconfirmed.err;

    // The whole device into its cache, then the image changed under it.
    ASSERT_EQ(run_shell("cat " + drive.device + " > /dev/null && dd if=/dev/zero of=" + image +
                        " bs=1M seek=24 count=16 conv=notrunc,fsync status=none")
                  .exit_code,
              0);
    ProgramRun changed = run_shell(unprivileged_check);
    EXPECT_NE(changed.exit_code, 0) << changed.out << changed.err;
    EXPECT_EQ(changed.out.find("verdict: intact"), std::string::npos) << changed.out;
    EXPECT_EQ(changed.out.find("result: intact"), std::string::npos) << changed.out;

    ProgramRun root = run_shell(sprayl_check + " " + drive.mount_point);
    EXPECT_EQ(root.exit_code, 1) << root.out << root.err;
    EXPECT_TRUE(has_line(root.out, "result: DAMAGED")) << root.out;
    EXPECT_NE(root.out.find("were lost: reads there give zeros\n"), std::string::npos) << root.out;
    unmount_exfat(drive);
}

} // namespace
