// The statistics page reader, on pages laid out like nginx-rtmp 1.1.4 writes them.
#include <gtest/gtest.h>

#include "NginxStats.h"

namespace qvtest {
namespace {

const char* kTwoApps = R"(<?xml version="1.0" encoding="utf-8" ?>
<rtmp>
<nginx_version>1.22.1</nginx_version>
<bytes_in>593</bytes_in>
<server>
<application>
<name>live</name>
<live>
<stream>
<name>cam1</name>
<time>1092</time><bw_in>0</bw_in>
<bytes_in>5200</bytes_in>
<client><id>1</id><address>127.0.0.1</address><time>1268</time><flashver>FMLE/3.0 (compatible; FMSc/1.0)</flashver><dropped>0</dropped><publishing/><active/></client>
<client><id>2</id><address>::1</address><time>100</time><flashver>LNX 9,0,124,2</flashver><dropped>0</dropped><active/></client>
<meta><video><width>160</width><height>112</height><codec>H264</codec></video><audio></audio></meta>
<nclients>2</nclients>
<publishing/>
<active/>
</stream>
<stream>
<name>waiting</name>
<time>10</time><bw_in>0</bw_in>
<bytes_in>0</bytes_in>
<client><id>3</id><address>127.0.0.1</address><time>10</time><flashver>LNX 9,0,124,2</flashver><dropped>0</dropped></client>
<nclients>1</nclients>
</stream>
<nclients>3</nclients>
</live>
</application>
<application>
<name>other</name>
<live>
<stream>
<name>cam1</name>
<bytes_in>7</bytes_in>
<client><id>4</id><address>127.0.0.1</address><flashver>x</flashver><publishing/><active/></client>
<publishing/>
<active/>
</stream>
</live>
</application>
</server>
</rtmp>
)";

TEST(NginxStats, ReadsStreamsClientsAndPublishingFlagsPerApplication)
{
    const auto streams = parseNginxStats(kTwoApps);
    ASSERT_EQ(streams.size(), 3u);

    EXPECT_EQ(streams[0].app, "live");
    EXPECT_EQ(streams[0].name, "cam1");
    EXPECT_TRUE(streams[0].publishing);
    EXPECT_TRUE(streams[0].active);
    EXPECT_EQ(streams[0].bytesIn, 5200);
    ASSERT_EQ(streams[0].clients.size(), 2u);
    EXPECT_EQ(streams[0].clients[0].address, "127.0.0.1");
    EXPECT_EQ(streams[0].clients[0].flashVer, "FMLE/3.0 (compatible; FMSc/1.0)");
    EXPECT_TRUE(streams[0].clients[0].publishing);
    EXPECT_EQ(streams[0].clients[1].address, "::1");
    EXPECT_FALSE(streams[0].clients[1].publishing);

    // A stream with only a waiting player: neither the stream nor its client publishes.
    EXPECT_EQ(streams[1].name, "waiting");
    EXPECT_FALSE(streams[1].publishing);
    EXPECT_FALSE(streams[1].active);
    ASSERT_EQ(streams[1].clients.size(), 1u);
    EXPECT_FALSE(streams[1].clients[0].publishing);

    EXPECT_EQ(streams[2].app, "other");
    EXPECT_EQ(streams[2].name, "cam1");
    EXPECT_TRUE(streams[2].publishing);
}

TEST(NginxStats, EmptyTruncatedOrForeignPagesGiveNoStreams)
{
    EXPECT_TRUE(parseNginxStats("").empty());
    EXPECT_TRUE(parseNginxStats("<html><body>502 Bad Gateway</body></html>").empty());
    EXPECT_TRUE(parseNginxStats("<rtmp><server><application><name>live</name><live>"
                                "<stream><name>x</name><publishing/>")
                    .empty());
    // An application with no live streams yet.
    EXPECT_TRUE(parseNginxStats("<rtmp><server><application><name>live</name><live>"
                                "<nclients>0</nclients></live></application></server></rtmp>")
                    .empty());
}

}  // namespace
}  // namespace qvtest
