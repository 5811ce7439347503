// Credential proof tools, run as programs. Expected digests were computed
// independently with Python's hashlib.pbkdf2_hmac and hmac.
#include <gtest/gtest.h>

#include <string>

#include "proc.h"

using testsupport::run;
using testsupport::Result;

namespace {

const std::string S64 = "00112233445566778899aabbccddeeff0123456789abcdef0f1e2d3c4b5a6978";

Result zorvex(std::vector<std::string> args, testsupport::RunOptions o = {})
{
    args.insert(args.begin(), ZORVEX_ENCRYPT);
    return run(args, o);
}

Result pbkdf2(std::vector<std::string> args, testsupport::RunOptions o = {})
{
    args.insert(args.begin(), PBKDF2_TOOL);
    return run(args, o);
}

void expect_line(const Result &r, const std::string &out)
{
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
}

} // namespace

TEST(Pbkdf2Tool, SaltedPasswordAndResultLine)
{
    expect_line(pbkdf2({S64, "secret"}),
                "5f30d638eee2ba542d962a001c66698b983ba8382123be92ce6b02520cb99b88\n00\n");
    expect_line(pbkdf2({"", "pencil"}),
                "8c9363f074906c6caf8febfcf0232664c6925291fe8cdeb665588a16faf7a247\n00\n");
}

TEST(Pbkdf2Tool, SaltDecoding)
{
    const std::string ab = "f26c33e1145f2fa9cee9254288d1f4620734fdf1ff4a9856ff47a688a56e30cf\n00\n";
    expect_line(pbkdf2({"ab", "pencil"}), ab);
    expect_line(pbkdf2({"ab00", "pencil"}), ab);
    // Odd length: abc is ab c0.
    const std::string abc = "46b3943442425d622cfd05e12528174b3f58d7e63977296fa31d76c15b79b77e\n00\n";
    expect_line(pbkdf2({"abc", "pencil"}), abc);
    expect_line(pbkdf2({"abc0", "pencil"}), abc);
    // Upper-case digits decode like lower-case ones.
    const std::string lower = "df845e5117fcb9086b8e717233e6ba35b68061a0a6c891cef60c82ddad5c9ee8\n00\n";
    expect_line(pbkdf2({"abcdef", "pw"}), lower);
    expect_line(pbkdf2({"ABCDEF", "pw"}), lower);
    expect_line(pbkdf2({"AbCdEf", "pw"}), lower);
}

TEST(Pbkdf2Tool, OnlyFirst64DigitsCount)
{
    Result r64 = pbkdf2({S64, "secret"});
    EXPECT_EQ(pbkdf2({S64 + "ff", "secret"}).out, r64.out);
    EXPECT_EQ(pbkdf2({S64 + S64, "secret"}).out, r64.out);  // 128 digits: the limit
}

TEST(Pbkdf2Tool, RefusesWhatWouldOverrunOrDecodeToGarbage)
{
    Result r = pbkdf2({S64 + S64 + "0", "secret"});
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("128"), std::string::npos) << r.err;

    r = pbkdf2({"abg0", "secret"});
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("not a hex digit"), std::string::npos) << r.err;

    expect_line(pbkdf2({S64, std::string(63, 'p')}),
                "508bb14475605f070ee6a04a70d34e6a7998a692b85178f07af9b5f74b770f76\n00\n");
    r = pbkdf2({S64, std::string(64, 'p')});
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("63"), std::string::npos) << r.err;
}

TEST(Pbkdf2Tool, TooFewParametersPrintUsage)
{
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"ab"}}) {
        Result r = pbkdf2(args);
        EXPECT_NE(r.code, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "usage: pbkdf2_tool Salt Password\n");
    }
}

TEST(ZorvexEncrypt, ClientProof)
{
    expect_line(zorvex({S64, "cnonce", "snonce", "fnonce", "secret"}),
                "0fa2f417af5370bd109a50d0791b481a69445ee76ce4028f08f8eb260cd15849\n");
    expect_line(zorvex({"", "a", "b", "c", "pencil"}),
                "d439f17497c829e6bcfd32fb5b0009bd230ff38c5a1ba7db0b8ce958ff9f054d\n");
    // A sixth parameter is ignored.
    expect_line(zorvex({"", "a", "b", "c", "pencil", "extra"}),
                "d439f17497c829e6bcfd32fb5b0009bd230ff38c5a1ba7db0b8ce958ff9f054d\n");
}

TEST(ZorvexEncrypt, AuthMessageCutAt511)
{
    const std::string proof =
        "81ef4e953a761ba0d9039c34a137dfdacbf81d4ba29a2b6bdc6a0c213ebabefb\n";
    std::string x(300, 'x');
    expect_line(zorvex({S64, x, std::string(300, 'y'), "z", "secret"}), proof);
    // Same first 511 characters, different tail: same proof.
    expect_line(zorvex({S64, x, std::string(210, 'y'), "tail", "secret"}), proof);
}

TEST(ZorvexEncrypt, TooFewParametersEchoWhatWasGiven)
{
    const std::string use =
        "zorvex_encrypt [Salt] [FirstNonce] [ServerNonce] [FinalNonce] [Password]\n";
    Result r = zorvex({"ab", "n1", "n2", "n3"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, use + "Parameters:4\nSalt:ab\nFirstNonce:n1\nServerNonce:n2\n"
                           "FinalNonce:n3\nPassword:\n");
    r = zorvex({});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, use + "Parameters:0\nSalt:\nFirstNonce:\nServerNonce:\n"
                           "FinalNonce:\nPassword:\n");
}

TEST(ZorvexEncrypt, RefusesBadSalt)
{
    for (const std::string &salt : {S64 + S64 + "0", std::string("0x12")}) {
        Result r = zorvex({salt, "a", "b", "c", "pw"});
        EXPECT_NE(r.code, 0) << salt;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    // A long password is fine here: it is used in place.
    Result r = zorvex({S64, "a", "b", "c", std::string(1000, 'p')});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.size(), 65u);
}

// A derivation that fails must not be reported as success.
TEST(CredentialTools, FailedDerivation)
{
    testsupport::RunOptions o;
    o.env = {std::string("LD_PRELOAD=") + KDF_FAIL_PRELOAD,
             "ASAN_OPTIONS=verify_asan_link_order=0"};
    Result r = pbkdf2({S64, "secret"}, o);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "00\n");
    EXPECT_EQ(r.err, "PKCS5_PBKDF2_HMAC_SHA1 failed\n");

    r = zorvex({S64, "a", "b", "c", "secret"}, o);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "PKCS5_PBKDF2_HMAC_SHA1 failed\n");
}
