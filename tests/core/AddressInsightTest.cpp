#include "core/AddressInsight.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "core/DataDir.h"
#include "tests/support/TestHelpers.h"

namespace orvane {
namespace {

using testing::TempDir;

// Small lists of our own, so that each row below tests one rule. The
// disposable list holds an upper-case entry and an IDN in ASCII form; the
// user's files hold a byte-order mark, 2 + 1 junk lines and a non-ASCII
// domain.
const std::map<std::string, std::string> kInstalled = {
    {"disposable.txt",
     "# comment\nmailinator.com\nedu.pl\nTrash-Mail.com\nxn--bcher-kva.example\n"},
    {"disposable-wildcard.txt", "33mail.com\ncad.edu.gr"},
    {"shared-suffixes.txt", "edu.pl\n"},
    {"free.txt", "gmail.com\r\nmailinator.com\r\n"},
    {"role.txt", "info\nsales\npostmaster\n"},
    {"providers.txt",
     "gmail.com top\nyahoo.com top # second\nhotmail.com top\nymail.com\nmail.com\n"},
};
const std::map<std::string, std::string> kUser = {
    {"disposable-add.txt",
     "\xEF\xBB\xBF"
     "spam.example\n*.tmp.example\nnot a domain\n@bad..example\nb\xC3\xBC"
     "cher.test\n"},
    {"disposable-allow.txt", "ok.mailinator.com # wrongly listed\n"},
    {"role-add.txt", "hr\nbad+tag\n"},
    {"role-allow.txt", "Sales\n"},
};

struct Fixture {
  TempDir data;
  TempDir user;
  // `file` (if given) gets `contents` instead, or is missing when they are null.
  explicit Fixture(const char* file = nullptr, const char* contents = nullptr) {
    for (const auto& [name, text] : kInstalled) data.write(name, text);
    for (const auto& [name, text] : kUser) user.write(name, text);
    if (file && contents) data.write(file, contents);
    if (file && !contents) std::filesystem::remove(data.path() / file);
  }
  AddressInsight load() const {
    AddressInsight::Options options;
    options.toAscii = [](std::string_view d) {
      return d == "b\xC3\xBC"
                  "cher.test"
                 ? std::string("xn--bcher-kva.test")
                 : std::string();
    };
    return AddressInsight::load(data.path(), user.path(), options);
  }
};

TEST(AddressInsight, FlagsFollowTheListsAndTheUsersFiles) {
  const Fixture fixture;
  const AddressInsight insight = fixture.load();
  const struct {
    const char* address;
    const char* flags;
  } rows[] = {
      {"a@mailinator.com", "disposable,free"},
      {"a@MailInator.COM.", "disposable,free"},  // case and a final dot do not matter
      {"a@x.y.mailinator.com", "disposable"},    // below a listed name; free is exact
      {"a@notmailinator.com", ""},               // parents end at a dot
      {"a@mailinator.com.example.org", ""},
      {"a@ok.mailinator.com", ""},  // the user's allow list, and the names below it
      {"a@deep.ok.mailinator.com", ""},
      {"a@33mail.com", ""},  // wildcard: the names below only
      {"a@alias.33mail.com", "disposable"},
      {"a@q.cad.edu.gr", "disposable"},
      {"a@cad.edu.gr", ""},
      {"a@edu.pl", "disposable"},  // a shared suffix counts for itself alone
      {"a@uw.edu.pl", ""},
      {"a@trash-mail.com", "disposable"},
      {"a@xn--bcher-kva.example", "disposable"},
      {"a@xn--bcher-kva.test", "disposable"},  // the user's non-ASCII line, converted
      {"a@spam.example", "disposable"},
      {"a@tmp.example", ""},  // the user's "*.tmp.example"
      {"a@x.tmp.example", "disposable"},
      {"Info@example.org", "role"},
      {"info+news@example.org", "role"},
      {"INFO+x@gmail.com", "role,free"},
      {"\"info\"@example.org", "role"},
      {"postmaster@mailinator.com", "disposable,role,free"},
      {"information@example.org", ""},
      {"+info@example.org", ""},
      {"sales@example.org", ""},   // role-allow.txt
      {"hr@example.org", "role"},  // role-add.txt
      {"a@mail.gmail.com", ""},
      {"no address", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(flagsText(insight.flags(row.address)), row.flags) << row.address;
  }
  EXPECT_EQ(insight.lists().skippedLines(), 3u);
  const std::string& message = insight.message();
  EXPECT_NE(message.find("2 lines skipped in " + fixture.user.file("disposable-add.txt")),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("1 line skipped in " + fixture.user.file("role-add.txt")),
            std::string::npos)
      << message;
}

TEST(AddressInsight, MissingOrDamagedFilesTurnTheirFlagOffWithOneMessage) {
  const struct {
    const char* file;
    const char* contents;  // nullptr: the file is missing
    const char* says;
    AddressFlags still;  // of postmaster@mailinator.com
  } rows[] = {
      {"free.txt", nullptr, "free.txt is missing in %D, so the free flag is off",
       AddressFlag::Disposable | AddressFlag::Role},
      {"disposable.txt", "ok.example\nnot a domain\n",
       "disposable.txt in %D is damaged (line 2 is not a domain name), so the disposable flag is "
       "off",
       AddressFlag::Role | AddressFlag::Free},
      {"disposable-wildcard.txt", "\x01\x02\xFF\n", "(line 1 is not a domain name)",
       AddressFlag::Role | AddressFlag::Free},
      {"role.txt", "# nothing\n\n",
       "role.txt in %D is damaged (it holds no entries), so the role flag is off",
       AddressFlag::Disposable | AddressFlag::Free},
      {"providers.txt", "gmail.com biggest\n",
       "providers.txt in %D is damaged (line 1 is not a provider), so typo suggestions are off",
       AddressFlag::Disposable | AddressFlag::Role | AddressFlag::Free},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    const Fixture fixture(row.file, row.contents);
    const AddressInsight insight = fixture.load();
    std::string says = row.says;
    if (const auto at = says.find("%D"); at != std::string::npos) {
      says.replace(at, 2, fixture.data.path().string());
    }
    EXPECT_NE(insight.message().find(says), std::string::npos) << insight.message();
    EXPECT_EQ(insight.message().find('\n'), std::string::npos);
    EXPECT_EQ(insight.flags("postmaster@mailinator.com"), row.still);
    DomainTally tally;
    EXPECT_EQ(insight.suggestion("gmial.com", DomainDns::NoSuchDomain, tally).empty(),
              std::string(row.file) == "providers.txt");
  }

  const AddressInsight none = AddressInsight::load("/nonexistent/lists", {});
  EXPECT_EQ(none.message(),
            "Address lists: the folder /nonexistent/lists is missing, so the disposable, role "
            "and free flags and typo suggestions are off.");
  EXPECT_TRUE(none.flags("postmaster@mailinator.com").empty());
}

TEST(TypoSuggest, SuggestsProvidersRunDomainsAndComForSlips) {
  const Fixture fixture;
  const AddressInsight insight = fixture.load();
  DomainTally tally;
  for (int i = 0; i < 5; ++i) tally.add("Acme-Widgets.com");
  for (int i = 0; i < 4; ++i) tally.add("rare-corp.com");
  using enum DomainDns;
  const struct {
    const char* domain;
    DomainDns dns;
    const char* suggestion;
  } rows[] = {
      {"gmial.com", NoSuchDomain, "gmail.com"},  // a swap
      {"gmal.com", NoMailHost, "gmail.com"},
      {"GMial.Com.", NoSuchDomain, "gmail.com"},
      {"gmail.con", NoSuchDomain, "gmail.com"},  // top-level slips
      {"yahoo.cmo", NoSuchDomain, "yahoo.com"},
      {"gmial.c0m", NoSuchDomain, "gmail.com"},
      {"mycompany.con", NoSuchDomain, "mycompany.com"},
      {"gmail.co", NoSuchDomain, "gmail.com"},
      {"mycompany.co", NoSuchDomain, ""},                     // .co is a top-level domain
      {"gmali.co", NoSuchDomain, ""},                         // 2 edits, 5 letters: too far
      {"hoitmial.com", NoSuchDomain, "hotmail.com"},          // 2 edits, 8 letters
      {"acme-widget.com", NoSuchDomain, "acme-widgets.com"},  // common in the run
      {"rare-crop.com", NoSuchDomain, ""},                    // 4 addresses only
      {"example.org", NoSuchDomain, ""},
      {"mail.com", NoSuchDomain, ""},            // a provider itself
      {"gmial.com", HasMailHosts, "gmail.com"},  // one edit from a top provider
      {"hoitmial.com", HasMailHosts, ""},
      {"acme-widget.com", HasMailHosts, ""},
      {"ymail.com", HasMailHosts, ""},
      {"gmial.com", Unknown, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(insight.suggestion(row.domain, row.dns, tally), row.suggestion)
        << row.domain << " " << static_cast<int>(row.dns);
  }
  EXPECT_EQ(tally.count("acme-widgets.COM"), 5u);
}

TEST(TypoSuggest, EditDistanceCountsSwapsAsOneEdit) {
  const struct {
    const char* a;
    const char* b;
    int distance;  // within a limit of 2 (3: more)
  } rows[] = {{"gmail", "gmail", 0},    {"gmial", "gmail", 1},
              {"gmai", "gmail", 1},     {"ca", "abc", 2},  // a swap with an insertion between
              {"abc", "ca", 2},         {"abcd", "badc", 2},
              {"kitten", "sitting", 3}, {"", "ab", 2}};
  for (const auto& row : rows) {
    EXPECT_EQ(editDistanceWithin(row.a, row.b, 2), row.distance) << row.a << " " << row.b;
  }
}

TEST(AddressInsight, TheInstalledListsLoadFromBesideTheProgram) {
  EXPECT_EQ(installedListsDir(),
            std::filesystem::path(ORVANE_BIN_DIR "/../share/orvane/lists").lexically_normal());
  const AddressInsight insight = AddressInsight::load(installedListsDir(), {});
  EXPECT_EQ(insight.message(), "");
  EXPECT_GT(insight.lists().entryCount(), 100000u);
  EXPECT_EQ(flagsText(insight.flags("postmaster@mailinator.com")), "disposable,role,free");
  EXPECT_EQ(flagsText(insight.flags("someone@gmail.com")), "free");
  EXPECT_GT(insight.typos().providerCount(), 20u);
  EXPECT_EQ(insight.suggestion("hotmial.com", DomainDns::NoSuchDomain, DomainTally()),
            "hotmail.com");
}

TEST(AddressFlags, NamesAndTheirParsing) {
  AddressFlags flags;
  std::string bad;
  ASSERT_TRUE(parseFlagNames(" Role, disposable ", flags));
  EXPECT_EQ(flagsText(flags), "disposable,role");
  EXPECT_FALSE(parseFlagNames("disposable,bogus", flags, &bad));
  EXPECT_EQ(bad, "bogus");
  EXPECT_EQ(flagsText(flags, " "), "disposable role");  // unchanged on failure
  ASSERT_TRUE(parseFlagNames("", flags));
  EXPECT_TRUE(flags.empty());
}

}  // namespace
}  // namespace orvane
