#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include <unistd.h>

#include "libs.h"
#include "proc.h"

namespace {

// Lines as /proc/PID/maps has them, a path with a space among them.
constexpr const char MAPS[] =
    "55d0c1a00000-55d0c1a10000 r--p 00000000 fd:01 1311 /opt/my agent/ovimar-agent\n"
    "55d0c2e00000-55d0c2e21000 rw-p 00000000 00:00 0          [heap]\n"
    "7f10a0000000-7f10a0020000 r--p 00000000 fd:01 2001 /usr/lib/libcurl-gnutls.so.4.8.0\n"
    "7f10a1000000-7f10a1020000 r--p 00000000 fd:01 2002 /cache/curl/lib/libcurl.so.4.8.0\n"
    "7f10a1020000-7f10a1060000 r-xp 00020000 fd:01 2002 /cache/curl/lib/libcurl.so.4.8.0\n"
    "7f10a2000000-7f10a2001000 r--p 00000000 fd:01 2003 /usr/lib/libubus.so\n"
    "7f10a3000000-7f10a3001000 r--p 00000000 fd:01 2004 /usr/lib/locale/C.utf8/LC_CTYPE\n"
    "7f10a4000000-7f10a4001000 r--p 00000000 fd:01 2005 /srv/x.so.d/notes.socket\n"
    "7ffd9e1f0000-7ffd9e1f2000 r-xp 00000000 00:00 0          [vdso]\n";

} // namespace

TEST(BenchLibs, FindsTheLibraryByItsStemAlone)
{
    EXPECT_EQ(mapped_library(MAPS, "libcurl"), "/cache/curl/lib/libcurl.so.4.8.0");
    EXPECT_EQ(mapped_library(MAPS, "libcurl-gnutls"), "/usr/lib/libcurl-gnutls.so.4.8.0");
    EXPECT_EQ(mapped_library(MAPS, "libssl"), "");
}

TEST(BenchLibs, CountsEachSharedObjectOnce)
{
    // The two libcurls and libubus; not the program, data files or the vDSO.
    EXPECT_EQ(mapped_libraries(MAPS), 3);
    EXPECT_EQ(mapped_libraries(""), 0);
}

TEST(BenchLibs, CountsWhatLddResolvesOrMisses)
{
    const std::string out =
        "\tlinux-vdso.so.1 (0x00007ffd9e1f0000)\n"
        "\tlibssl.so.3 => /lib/x86_64-linux-gnu/libssl.so.3 (0x00007f10a5000000)\n"
        "\tlibgone.so.1 => not found\n"
        "\tlibc.so.6 => /lib/x86_64-linux-gnu/libc.so.6 (0x00007f10a6000000)\n"
        "\t/lib64/ld-linux-x86-64.so.2 (0x00007f10a7000000)\n";
    EXPECT_EQ(ldd_needs(out), 3);
    EXPECT_EQ(ldd_needs(""), 0);
}

// Another process, as the bench reads the agent: its libc, counted by ldd.
TEST(BenchLibs, ReadsTheLibraryAnotherProcessLoaded)
{
    testsupport::TempDir dir;
    testsupport::Child sleeper({"sleep", "30"}, dir.file("out"));
    lib_info l = {"", -1, -1, -1};
    // Until its exec the child's maps are the test's own: under qemu-user,
    // an arm64 libc that the host's ldd cannot read.
    std::string exe = "/proc/" + std::to_string(sleeper.pid()) + "/exe";
    ASSERT_TRUE(testsupport::wait_for(5000, [&] {
        char target[256] = {};
        if (readlink(exe.c_str(), target, sizeof(target) - 1) <= 0 ||
            std::string_view(target).find("sleep") == std::string_view::npos)
            return false;
        l = library_of(sleeper.pid(), "libc");
        return l.path.find("/libc.so") != std::string::npos;
    })) << l.path;
    EXPECT_GT(l.bytes, 0);
    EXPECT_GE(l.needs, 0);
    EXPECT_GE(l.mapped, 2); // libc and the loader at least
    sleeper.stop(9);
    EXPECT_EQ(library_of(sleeper.pid(), "libc").path, "");
}
