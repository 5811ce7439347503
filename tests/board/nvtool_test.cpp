// nvtool, the board-data stand-in, run as a program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proc.h"

using testsupport::Result;

namespace {

class Nvtool : public ::testing::Test {
protected:
    Result nv(std::vector<std::string> args)
    {
        args.insert(args.begin(), NVTOOL_BIN);
        testsupport::RunOptions o;
        o.env = {"HOST_NVTOOL_FILE=" + store()};
        return testsupport::run(args, o);
    }
    std::string store() const { return dir.file("board"); }

    testsupport::TempDir dir;
};

} // namespace

TEST_F(Nvtool, GetSetAndMissing)
{
    Result r = nv({"get", "ZVEI"});  // no store yet
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    EXPECT_EQ(nv({"set", "ZVEI", "860000000000001"}).code, 0);
    r = nv({"get", "ZVEI"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "860000000000001\n");
    // Keys are case-sensitive: the agent asks for ZVEI, then zvei.
    r = nv({"get", "zvei"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");

    EXPECT_EQ(nv({"set", "ZVEI", "second"}).code, 0);
    EXPECT_EQ(nv({"get", "ZVEI"}).out, "second\n");
    EXPECT_EQ(nv({"unset", "ZVEI"}).code, 0);
    EXPECT_EQ(nv({"get", "ZVEI"}).code, 1);
}

TEST_F(Nvtool, ValuesKeepSpacesAndPunctuation)
{
    const std::string v = "  a=b 'c' \"d\" #e $f \\g;h|i  ";
    ASSERT_EQ(nv({"set", "CSN", v}).code, 0);
    EXPECT_EQ(nv({"get", "CSN"}).out, v + "\n");
    ASSERT_EQ(nv({"set", "SN", "several", "words", "joined"}).code, 0);
    EXPECT_EQ(nv({"get", "SN"}).out, "several words joined\n");
    ASSERT_EQ(nv({"set", "EMPTY", ""}).code, 0);
    Result r = nv({"get", "EMPTY"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(nv({"show"}).out, "CSN=" + v + "\nSN=several words joined\nEMPTY=\n");
}

TEST_F(Nvtool, RefusesWhatWouldBreakTheStore)
{
    ASSERT_EQ(nv({"set", "K", "v"}).code, 0);
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"set", "K", "two\nlines"}, {"set", "K=X", "v"}, {"set", "A B", "v"},
             {"set", "", "v"}, {"set", "K", "bell\a"}}) {
        Result r = nv(args);
        EXPECT_EQ(r.code, 2) << args[1];
        EXPECT_NE(r.err, "");
    }
    EXPECT_EQ(testsupport::read_file(store()), "K=v\n");
    EXPECT_EQ(nv({}).code, 2);
    EXPECT_EQ(nv({"get"}).code, 2);
    EXPECT_EQ(nv({"frob", "K"}).code, 2);
}

TEST_F(Nvtool, HandEditedStore)
{
    testsupport::write_file(store(), "# board data\nA=1\nnot a pair\nA=2\nB=x=y\n");
    EXPECT_EQ(nv({"get", "A"}).out, "2\n");
    EXPECT_EQ(nv({"get", "B"}).out, "x=y\n");
    EXPECT_EQ(nv({"get", "not a pair"}).code, 1);
}

// Setters in parallel each keep their key: none overwrites another's.
TEST_F(Nvtool, ParallelSetsAllLand)
{
    std::vector<testsupport::Child> kids;
    for (int i = 0; i < 8; i++)
        kids.emplace_back(std::vector<std::string>{NVTOOL_BIN, "set", "K" + std::to_string(i),
                                                   "v" + std::to_string(i)},
                          dir.file("out" + std::to_string(i)),
                          std::vector<std::string>{"HOST_NVTOOL_FILE=" + store()});
    for (auto &k : kids)
        EXPECT_EQ(k.wait(10000), 0);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(nv({"get", "K" + std::to_string(i)}).out, "v" + std::to_string(i) + "\n");
}
