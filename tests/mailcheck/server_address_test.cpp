// The POP server field's forms: host, port and security.
#include <gtest/gtest.h>

#include <strings.h>

#include <string>

#include "mailcheck/server_address.h"

TEST(ServerAddress, Forms)
{
    const Security P = Security::plain, T = Security::implicit_tls, S = Security::starttls;
    struct Row { const char* text; const char* host; int port; Security security; } rows[] = {
        {"pop.example.jp", "pop.example.jp", 110, P},
        {"192.0.2.7", "192.0.2.7", 110, P},
        {" pop.example.jp ", " pop.example.jp ", 110, P},   // as it always went to the resolver
        {"", "", 110, P},
        {"pop.example.jp:1110", "pop.example.jp", 1110, P},
        {"pop.example.jp:110", "pop.example.jp", 110, P},
        {"pop.example.jp:995", "pop.example.jp", 995, T},
        {"pop.example.jp:65535", "pop.example.jp", 65535, P},
        {"pop3s://pop.example.jp", "pop.example.jp", 995, T},
        {"POP3S://Pop.Example.JP:1995", "Pop.Example.JP", 1995, T},
        {"pop3s://192.0.2.7:995", "192.0.2.7", 995, T},
        {"starttls://pop.example.jp", "pop.example.jp", 110, S},
        {"StartTLS://pop.example.jp:10110", "pop.example.jp", 10110, S},
        {"starttls://pop.example.jp:995", "pop.example.jp", 995, S},   // the scheme decides
        {"010.0.0.1", "010.0.0.1", 110, P},   // the old form still goes to the resolver unchanged
        {"[2001:db8::1]", "2001:db8::1", 110, P},
        {"[2001:db8::1]:1110", "2001:db8::1", 1110, P},
        {"[2001:DB8::1]:995", "2001:DB8::1", 995, T},
        {"pop3s://[2001:db8::1]", "2001:db8::1", 995, T},
        {"pop3s://[::1]:1995", "::1", 1995, T},
        {"starttls://[::1]", "::1", 110, S},
        {"[::]", "::", 110, P}, {"[1::]", "1::", 110, P}, {"[1:2:3:4:5:6:7:8]", "1:2:3:4:5:6:7:8", 110, P},
        {"[::ffff:192.0.2.7]", "::ffff:192.0.2.7", 110, P}, {"[1:2:3:4:5:6:1.2.3.4]", "1:2:3:4:5:6:1.2.3.4", 110, P},
        {"imaps://imap.example.jp", "imap.example.jp", 993, T},
        {"IMAPS://imap.example.jp:1993", "imap.example.jp", 1993, T},
        {"imap.example.jp:993", "imap.example.jp", 993, T},
        {"imaps://[2001:db8::1]", "2001:db8::1", 993, T},
    };
    for (const Row& row : rows) {
        ServerAddress address;
        ASSERT_EQ(parse_server_address(row.text, &address), 1) << row.text;
        EXPECT_STREQ(address.host, row.host) << row.text;
        EXPECT_EQ(address.port, row.port) << row.text;
        EXPECT_EQ(address.security, row.security) << row.text;
        // 993 and imaps:// count unseen mail over IMAP; everything else is POP3.
        const bool imap = row.port == 993 || strncasecmp(row.text, "imaps", 5) == 0;
        EXPECT_EQ(address.protocol, imap ? Protocol::imap : Protocol::pop3) << row.text;
        // An address gets no SNI and is judged by its bytes.
        EXPECT_EQ(address.literal, is_dotted_ipv4(row.host) || is_ipv6_address(row.host)) << row.text;
    }
}

TEST(ServerAddress, RefusesWhatFitsNoForm)
{
    const char* const texts[] = {
        ":110", "host:", "host:0", "host:70000", "host:65536", "host:abc", "host:+1", "host: 110",
        "host:110:1", "pop3s://", "pop3s://:995", "starttls://host:", "imap://host",
        "://host", "http://host", "pop3s://host/path", "pop3s://a:b:995", "pop3:host",
        // blanks inside the new forms
        "pop3s:// host", "host :995", "starttls://host\t", "pop3s://host:995 ",
        // digits and dots that are no plain dotted address (octal to the resolver)
        "pop3s://010.0.0.1", "010.0.0.1:995", "1.2.3:995", "pop3s://1.2.3.4.",
        // more than the one trailing dot of the DNS root
        "pop3s://.", "pop3s://host..",
        // IPv6: brackets needed, whole, a real address, no zone
        "2001:db8::1", "pop3s://2001:db8::1", "[2001:db8::1", "[2001:db8::g]", "[fe80::1%eth0]",
        "pop3s://[fe80::1%25eth0]:995", "[::1]x", "[::1]:", "[::1]:0", "[1.2.3.4]", "[]",
        "pop3s://[::1]]", "pop3s://host[::1]", "[1:2:3:4:5:6:7:8:9]", "[1::2::3]", "[1:2:3:4:5:6:7::8]",
        "[12345::]", "[:1]", "[1:]", "[:::]", "[::1.2.3]", "[1:2:3:4:5:6:7:1.2.3.4]",
        // no plain IMAP
        "imaps://", "imaps://host:", "imaps:// host",
    };
    for (const char* text : texts) {
        ServerAddress address;
        EXPECT_EQ(parse_server_address(text, &address), 0) << text;
    }
}

TEST(ServerAddress, OneTrailingDotIsDroppedForTheCertificateName)
{
    struct Row { const char* text; const char* host; const char* name; } rows[] = {
        {"pop3s://pop.example.jp.", "pop.example.jp.", "pop.example.jp"},
        {"pop.example.jp.:995", "pop.example.jp.", "pop.example.jp"},
        {"starttls://pop.example.jp", "pop.example.jp", "pop.example.jp"},
    };
    for (const Row& row : rows) {
        ServerAddress address;
        ASSERT_EQ(parse_server_address(row.text, &address), 1) << row.text;
        EXPECT_STREQ(address.host, row.host) << row.text;
        EXPECT_STREQ(address.name, row.name) << row.text;
    }
}

TEST(ServerAddress, LongestNameFits)
{
    std::string name(SETTING_TEXT_SIZE - 1, 'n');
    ServerAddress address;
    ASSERT_EQ(parse_server_address(name.c_str(), &address), 1);
    EXPECT_EQ(std::string(address.host), name);
    std::string secure = "pop3s://" + std::string(SETTING_TEXT_SIZE - 9, 'n');
    ASSERT_EQ(parse_server_address(secure.c_str(), &address), 1);
    EXPECT_EQ(std::string(address.host).size(), SETTING_TEXT_SIZE - 9);
}

TEST(ServerAddress, DottedAddresses)
{
    struct Row { const char* host; bool address; } rows[] = {
        {"127.0.0.21", true}, {"0.0.0.0", true}, {"255.255.255.255", true},
        {"256.1.1.1", false}, {"1.2.3", false}, {"1.2.3.4.5", false}, {"1.2.3.4 ", false},
        {"pop.example.jp", false}, {"1..2.3", false}, {"0001.2.3.4", false}, {"", false},
        {"010.0.0.1", false}, {"10.00.0.1", false}, {"10.0.0.0", true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(is_dotted_ipv4(row.host), row.address) << row.host;
}
