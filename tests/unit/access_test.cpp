#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include <gtest/gtest.h>
#include <srt/access_control.h>

#include "core/credentialfile.h"
#include "logcapture.h"
#include "srt/accesspolicy.h"
#include "srt/addressfilter.h"
#include "web/basicauth.h"

namespace vandra {
namespace {

std::uint32_t ipv4(const char* text) {
    in_addr address{};
    EXPECT_EQ(inet_pton(AF_INET, text, &address), 1) << text;
    return address.s_addr;
}

// ---- Address filter -----------------------------------------------------------------------

TEST(AddressFilter, AdmitsExactlyTheAddressesInItsNetworks) {
    std::string error;
    const auto filter = AddressFilter::parse(" 10.0.0.0/8, 192.168.1.20 ,0.0.0.0/32", error);
    ASSERT_TRUE(filter) << error;
    EXPECT_EQ(filter->text(), "10.0.0.0/8,192.168.1.20/32,0.0.0.0/32");
    for (const char* in : {"10.0.0.0", "10.255.255.255", "192.168.1.20", "0.0.0.0"}) {
        EXPECT_TRUE(filter->allows(ipv4(in))) << in;
    }
    for (const char* out : {"11.0.0.0", "9.255.255.255", "192.168.1.21", "127.0.0.1"}) {
        EXPECT_FALSE(filter->allows(ipv4(out))) << out;
    }
    const auto everyone = AddressFilter::parse("0.0.0.0/0", error);
    ASSERT_TRUE(everyone) << error;
    EXPECT_TRUE(everyone->allows(ipv4("203.0.113.9")));
}

TEST(AddressFilter, RefusesWhatIsNoNetworkAndSaysWhy) {
    const std::vector<std::pair<std::string, std::string>> bad{
        {"", "not an IPv4 network"},
        {"10.0.0.0/8,", "not an IPv4 network"},
        {"10.0.0.0/33", "not an IPv4 network"},
        {"10.0.0.0/-1", "not an IPv4 network"},
        {"10.0.0/8", "not an IPv4 network"},
        {"010.0.0.0/8", "not an IPv4 network"},
        {"10.0.0.0/8/8", "not an IPv4 network"},
        {"host.example/32", "not an IPv4 network"},
        {"10.0.0.1/8", "has bits set beyond its prefix; the network is 10.0.0.0/8"},
        {"\x1b[2J", "\\x1b[2J"},
        {std::string("10.0.0.0\0/8", 11), "not an IPv4 network"},
    };
    for (const auto& [list, why] : bad) {
        std::string error;
        EXPECT_FALSE(AddressFilter::parse(list, error)) << list;
        EXPECT_NE(error.find(why), std::string::npos) << list << ": " << error;
    }
}

// ---- Credential files ---------------------------------------------------------------------

constexpr CredentialFile::SecretLength kPassphrase = AccessPolicy::kPassphraseLength;

TEST(CredentialFile, ReadsNamesAndSecretsSkippingCommentsAndBlanks) {
    std::string error;
    const auto file = CredentialFile::parse(
        "# viewers\r\n\nalice: alice-secret-1\r\n  bob@site.example:b:o:b-secret \n", kPassphrase,
        error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->secrets().size(), 2u);
    ASSERT_NE(file->secretOf("alice"), nullptr);
    EXPECT_EQ(*file->secretOf("alice"), "alice-secret-1");
    ASSERT_NE(file->secretOf("bob@site.example"), nullptr);
    EXPECT_EQ(*file->secretOf("bob@site.example"), "b:o:b-secret");
    EXPECT_EQ(file->secretOf("Alice"), nullptr);
}

TEST(CredentialFile, FaultsNameTheLineButNeverTheSecret) {
    // Every secret below holds "Zk9", which no error may show.
    const std::string good = "alice:alice-Zk9-secret\n";
    const std::vector<std::pair<std::string, std::string>> bad{
        {good + "bob Zk9-no-colon-here", "line 2: no ':' between name and secret"},
        {good + "bob:Zk9-tiny", "line 2: the secret of bob must be 10 to 79 characters long"},
        {good + "bob:Zk9" + std::string(77, 's'), "line 2: the secret of bob must be 10 to 79"},
        {good + "b o b:bob-Zk9-secret", "line 2: the name must be 1 to 64 letters"},
        {good + ":bob-Zk9-secret", "line 2: the name must be"},
        {good + "\n# x\nalice:other-Zk9-secret", "line 4: the name alice is there twice"},
        {"# nothing\n\n", "no name:secret line"},
    };
    for (const auto& [text, why] : bad) {
        std::string error;
        EXPECT_FALSE(CredentialFile::parse(text, kPassphrase, error)) << text;
        EXPECT_EQ(error.rfind(why, 0), 0u) << error;
        EXPECT_EQ(error.find("Zk9"), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(CredentialFile::load("/nonexistent/users", kPassphrase, error));
    EXPECT_EQ(error, "cannot read /nonexistent/users: No such file or directory");
}

// ---- Who may connect ------------------------------------------------------------------------

TEST(AccessPolicyStreamId, TakesTheUserKeyOrTheWholeId) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"alice", "alice"},
        {"#!::u=alice", "alice"},
        {"#!::r=live,u=alice,m=request", "alice"},
        {"#!::u=alice,u=bob", "alice"},
        {"#!::r=live", ""},
        {"#!::user=alice", ""},
        {"#!::", ""},
        {"#!:u=alice", "#!:u=alice"},
        {"", ""},
        {std::string(512, 'a'), std::string(512, 'a')},
        {std::string(513, 'a'), ""},
    };
    for (const auto& [streamId, user] : cases) {
        EXPECT_EQ(AccessPolicy::userFromStreamId(streamId), user) << streamId;
    }
    // A programme is only ever the "r" key: a plain id picks none.
    for (const auto& [streamId, program] :
         std::vector<std::pair<std::string, std::string>>{{"#!::u=alice,r=2", "2"},
                                                          {"#!::r=News 24", "News 24"},
                                                          {"r=2", ""},
                                                          {"#!::rr=2,r=", ""},
                                                          {"#!::u=r=2", ""}}) {
        EXPECT_EQ(AccessPolicy::programFromStreamId(streamId), program) << streamId;
    }
}

// Guards against a player's percent-encoded "#" naming nobody, against decoding more than
// once or ids of other forms, and against a broken escape turning into some other byte.
TEST(AccessPolicyStreamId, DecodesOnlyTheEncodedAccessControlFormOnce) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"%23!::u=alice", "#!::u=alice"}, {"%23!::r=live,u=al%69ce", "#!::r=live,u=alice"},
        {"%23!::u=%2523", "#!::u=%23"},   {"%23!::u=a%2", "%23!::u=a%2"},
        {"%23!::u=a%zz", "%23!::u=a%zz"}, {"%2523!::u=alice", "%2523!::u=alice"},
        {"#!::u=a%20b", "#!::u=a%20b"},   {"studio%20b", "studio%20b"},
    };
    for (const auto& [streamId, decoded] : cases) {
        EXPECT_EQ(AccessPolicy::decodedStreamId(streamId), decoded) << streamId;
    }
}

// Guards against a program list left in the passphrase, a line without one losing part of its
// passphrase, and one user's list restricting another.
TEST(AccessPolicyUsers, AProgramListEndsTheLineAndRestrictsItsUserOnly) {
    std::string error;
    const auto users = CredentialFile::parse("alice:alice-secret-1 :r=1,2\nbob:bob:secret:r=2x\n"
                                             "carol:carol-secret:r=3\n",
                                             kPassphrase, error);
    ASSERT_TRUE(users) << error;
    AccessPolicy policy;
    EXPECT_EQ(policy.setUsersWithPrograms(*users), "");
    EXPECT_EQ(policy.usersWithPrograms(), 2u);
    const std::vector<std::pair<const char*, const char*>> passphrases{
        {"alice", "alice-secret-1"}, {"bob", "bob:secret:r=2x"}, {"carol", "carol-secret"}};
    for (const auto& [name, passphrase] : passphrases) {
        const Admission admitted = policy.admit(ipv4("127.0.0.1"), name, 0);
        ASSERT_NE(admitted.passphrase, nullptr) << name;
        EXPECT_EQ(*admitted.passphrase, passphrase);
    }
    EXPECT_TRUE(policy.mayWatch("alice", 2));
    EXPECT_FALSE(policy.mayWatch("alice", 3));
    EXPECT_TRUE(policy.mayWatch("bob", 3));
    EXPECT_TRUE(policy.mayWatch("", 3));
    EXPECT_EQ(policy.setUsersWithPrograms(
                  *CredentialFile::parse("dave:shortpass:r=1", kPassphrase, error)),
              "the passphrase of dave before its program list must be 10 to 79 characters long");
}

TEST(AccessPolicyAdmit, ChecksAddressThenUserThenLimit) {
    std::string error;
    AccessPolicy policy;
    EXPECT_FALSE(policy.admit(ipv4("203.0.113.9"), "", 1000).refusal) << "empty policy refused";
    policy.setMaxCallers(2);
    policy.setAllowed(*AddressFilter::parse("127.0.0.0/8", error));
    policy.setUsers(*CredentialFile::parse("alice:alice-secret-1", kPassphrase, error));

    const Admission alice = policy.admit(ipv4("127.0.0.2"), "#!::u=alice", 1);
    EXPECT_FALSE(alice.refusal);
    EXPECT_EQ(alice.user, "alice");
    ASSERT_NE(alice.passphrase, nullptr);
    EXPECT_EQ(*alice.passphrase, "alice-secret-1");

    struct Case {
        const char* address;
        const char* streamId;
        std::size_t held;
        AccessRefusal refusal;
        int rejectReason;
        const char* why;
    };
    for (const Case& c : {
             Case{"10.0.0.1", "alice", 5, AccessRefusal::Address, SRT_REJX_FORBIDDEN,
                  "address not allowed"},
             Case{"127.0.0.1", "carol", 5, AccessRefusal::User, SRT_REJX_UNAUTHORIZED,
                  "unknown user \"carol\""},
             Case{"127.0.0.1", "#!::r=live", 0, AccessRefusal::User, SRT_REJX_UNAUTHORIZED,
                  "no user name in the stream id"},
             Case{"127.0.0.1", "alice", 2, AccessRefusal::Limit, SRT_REJX_OVERLOAD,
                  "caller limit of 2 reached"},
         }) {
        const Admission admission = policy.admit(ipv4(c.address), c.streamId, c.held);
        EXPECT_EQ(admission.refusal, c.refusal) << c.address << " " << c.streamId;
        EXPECT_EQ(admission.rejectReason, c.rejectReason) << c.streamId;
        EXPECT_EQ(admission.why, c.why);
        EXPECT_EQ(admission.passphrase, nullptr);
    }
}

// Guards against a reload cutting a caller that may stay (a lowered limit, an unchanged user)
// or keeping one whose user went, whose passphrase changed or whose network was dropped, and
// against the change line naming a user instead of counting.
TEST(AccessPolicyReload, WithdrawsOnlyWhatTheNewRulesRefuseAndCountsTheChanges) {
    std::string error;
    AccessPolicy before;
    before.setMaxCallers(5);
    before.setUsers(*CredentialFile::parse("alice:alice-secret-1\nbob:bob-secret-11\n"
                                           "dave:dave-secret-1",
                                           kPassphrase, error));
    AccessPolicy after;
    after.setMaxCallers(1);
    after.setAllowed(*AddressFilter::parse("127.0.0.0/8", error));
    after.setUsers(*CredentialFile::parse("alice:alice-secret-1\nbob:bob-secret-22\n"
                                          "carol:carol-secret-1",
                                          kPassphrase, error));
    const std::uint32_t local = ipv4("127.0.0.5");
    EXPECT_EQ(after.whyWithdrawn(local, "alice", before), nullptr);
    EXPECT_STREQ(after.whyWithdrawn(local, "bob", before), "passphrase changed");
    EXPECT_STREQ(after.whyWithdrawn(local, "dave", before), "user removed");
    EXPECT_STREQ(after.whyWithdrawn(ipv4("10.0.0.1"), "alice", before), "address not allowed");
    EXPECT_EQ(after.changesFrom(before),
              "users 1 added, 1 removed, 1 with a new passphrase; callers from 127.0.0.0/8 (was "
              "any address); caller limit 1 (was 5)");
    EXPECT_EQ(after.changesFrom(after), "");
}

// ---- Web authentication ---------------------------------------------------------------------

TEST(BasicAuth, DecodesBase64AndAdmitsOnlyANameWithItsOwnPassword) {
    std::string error;
    const auto users = CredentialFile::parse("ops:ops-password\nviewer:viewer-password",
                                             BasicAuth::kPasswordLength, error);
    ASSERT_TRUE(users) << error;
    const BasicAuth auth(*users);
    // base64 of "ops:ops-password", "viewer:viewer-password", "ops:viewer-password",
    // "ops:ops-passwor", "ops:ops-password1", "ops"
    EXPECT_TRUE(auth.allows("Basic b3BzOm9wcy1wYXNzd29yZA=="));
    EXPECT_TRUE(auth.allows("basic   b3BzOm9wcy1wYXNzd29yZA== "));
    EXPECT_TRUE(auth.allows("Basic dmlld2VyOnZpZXdlci1wYXNzd29yZA=="));
    for (const char* refused :
         {"Basic b3BzOnZpZXdlci1wYXNzd29yZA==", "Basic b3BzOm9wcy1wYXNzd29y",
          "Basic b3BzOm9wcy1wYXNzd29yZDE=", "Basic b3Bz",
          "Bearer b3BzOm9wcy1wYXNzd29yZA==", "Basic b3BzOm9w*y1wYXNzd29yZA==", "Basic", ""}) {
        EXPECT_FALSE(auth.allows(refused)) << refused;
    }
    EXPECT_FALSE(auth.allows("Basic " + std::string(600, 'A')));

    EXPECT_EQ(BasicAuth::decodeBase64(""), "");
    EXPECT_EQ(BasicAuth::decodeBase64("Zg=="), "f");
    EXPECT_EQ(BasicAuth::decodeBase64("Zm8="), "fo");
    EXPECT_EQ(BasicAuth::decodeBase64("Zm9v"), "foo");
    EXPECT_EQ(BasicAuth::decodeBase64("+/+/"), "\xfb\xff\xbf");
    EXPECT_FALSE(BasicAuth::decodeBase64("Zm9vY"));
    EXPECT_FALSE(BasicAuth::decodeBase64("Zm=v"));
}

} // namespace
} // namespace vandra
