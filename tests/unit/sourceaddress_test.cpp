#include <gtest/gtest.h>

#include "app/sourceaddress.h"
#include "logcapture.h"

namespace vandra {
namespace {

struct UrlCase {
    const char* source;
    const char* group;
    const char* port;
    const char* iface;
    const char* logged; // failures only
    const char* sender = "";
};

// A table run in one test, so each case is named by its source text in the failure output.
TEST(ParseSrtUrl, SplitsGroupPortAndInterfaceOrLogsWhyNot) {
    for (const UrlCase& c :
         {UrlCase{"udp://239.1.1.1:5000", "239.1.1.1", "5000", "", ""},
          UrlCase{"239.1.1.1:5000", "239.1.1.1", "5000", "", ""},
          // The form players and /stats itself write.
          UrlCase{"udp://@239.1.1.1:5000", "239.1.1.1", "5000", "", ""},
          UrlCase{"udp://@239.1.1.1:5000(10.0.0.1)", "239.1.1.1", "5000", "10.0.0.1", ""},
          UrlCase{"udp://239.1.1.1:5000(192.168.1.20:7000)", "239.1.1.1", "5000", "192.168.1.20",
                  ""},
          UrlCase{"udp://239.1.1.1:5000(192.168.1.20", "239.1.1.1", "5000", "192.168.1.2", ""},
          UrlCase{"udp://239.1.1.1:5000()", "239.1.1.1", "5000", "", ""},
          UrlCase{"udp://239.1.1.1 : 5000", "239.1.1.1", "5000", "", ""},
          UrlCase{"udp://239.1.1.1:5000( 10.0.0.1 )x", "239.1.1.1", "5000", " 10.0.0.1 ", ""},
          UrlCase{"(192.168.1.20)239.1.1.1:5000", "(192.168.1.20)239.1.1.1", "5000", "", ""},
          UrlCase{"", "", "", "", ""},
          UrlCase{"udp://239.1.1.1", "", "", "", "-- fail parseSrtUrl size 1"},
          UrlCase{"srt://239.1.1.1:5000", "", "", "", "-- fail parseSrtUrl size 3"},
          UrlCase{"udp://239.1.1.1:50a0", "", "", "", "-- fail parseSrtUrl isNumber 50a0"},
          UrlCase{"udp://:5000", "", "", "", "-- fail parseSrtUrl isNumber 5000"},
          UrlCase{"udp://@@239.1.1.1:5000", "@239.1.1.1", "5000", "", ""},
          UrlCase{"udp://239.1.1.1:(10.1.1.1)", "", "", "10.1.1.1",
                  "-- fail parseSrtUrl isNumber "},
          // Source-specific: the sender before '@' must be a host's IPv4 address.
          UrlCase{"udp://10.0.0.5@232.1.1.1:5000(192.168.1.20)", "232.1.1.1", "5000",
                  "192.168.1.20", "", "10.0.0.5"},
          UrlCase{" udp:// 10.0.0.5 @ 232.1.1.1 :5000", "232.1.1.1", "5000", "", "", "10.0.0.5"},
          UrlCase{"udp://10.0.0.256@232.1.1.1:5000", "", "", "",
                  "ERROR: the source before '@' is not an IPv4 host address: 10.0.0.256"},
          UrlCase{"udp://232.1.1.2@232.1.1.1:5000", "", "", "",
                  "ERROR: the source before '@' is not an IPv4 host address: 232.1.1.2"}}) {
        SCOPED_TRACE(c.source);
        LogCapture log;
        const SourceAddress result = parseSrtUrl(c.source, "udp://");
        EXPECT_EQ(result.group, c.group);
        EXPECT_EQ(result.port, c.port);
        EXPECT_EQ(result.iface, c.iface);
        EXPECT_EQ(result.sender, c.sender);
        if (*c.logged == '\0') {
            EXPECT_EQ(log.text(), "");
        } else {
            EXPECT_EQ(log.text().rfind(std::string(c.logged) + "  utils  ", 0), 0u) << log.text();
        }
    }
}

} // namespace
} // namespace vandra
