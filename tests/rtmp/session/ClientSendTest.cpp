// The send entries without a socket: what reaches the transport, decoded by a second codec.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "rtmp/RtmpDefs.h"
#include "tests/rtmp/session/SessionTestSupport.h"

namespace {

class ClientSend : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv-send-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("QV_SETTINGS_USER", (m_dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (m_dir + "/machine.json").c_str(), 1);
        m_client = std::make_unique<CapturingClient>();
        m_client->m_iStreamID.store(1);
    }
    void TearDown() override {
        m_client.reset();
        std::filesystem::remove_all(m_dir);
    }
    static BS::DataPtr Video(int64_t dts, int32_t bytes = 50) {
        BS::DataPtr r(BS::data_t::Create(bytes, false, dts, dts, NO_TIME));
        std::memset(r->data, 0x65, static_cast<size_t>(bytes));
        r->frame_type = dts == 0 ? FRAME_I : FRAME_P;
        return r;
    }
    std::string m_dir;
    std::unique_ptr<CapturingClient> m_client;
};

TEST_F(ClientSend, TimecodePrecedesVideoAtTheInterval) {
    // Base 2020-01-01 00:00:00 UTC plus 500 ms.
    m_client->SetTimecode(1577836800, 500000, 1000, 1);
    for (int64_t dts = 0; dts <= 2400; dts += 40) {
        BS::DataPtr v = Video(dts);
        m_client->SendBufferedMessage(v.get(), CRTMPClient::SEND_MEDIA, rtmp::CHUNK_STREAM_MEDIA, RTMP_PT_VIDEO,
                                      rtmp::SwapStreamId(1), false);
    }
    std::vector<WireMessage> msgs = Decode(m_client->Wire());
    ASSERT_EQ(msgs.size(), 61u + 3u);
    // Which video (by its dts, 40 ms apart) each onFI precedes, and the clock text it carries.
    std::vector<int64_t> onfiBefore;
    std::vector<int> secondsOfDay;
    int videos = 0;
    for (size_t i = 0; i < msgs.size(); ++i) {
        if (msgs[i].header.type == RTMP_PT_VIDEO) {
            ++videos;
            continue;
        }
        ASSERT_EQ(msgs[i].header.type, RTMP_PT_NOTIFY);
        EXPECT_EQ(msgs[i].header.chunkStreamId, rtmp::CHUNK_STREAM_TIMECODE);
        EXPECT_EQ(msgs[i].header.headerSize, 12);  // always a full header
        EXPECT_EQ(msgs[i].header.streamId, rtmp::SwapStreamId(1));
        ASSERT_LT(i + 1, msgs.size());
        EXPECT_EQ(msgs[i + 1].header.type, RTMP_PT_VIDEO);
        onfiBefore.push_back(videos * 40);
        const std::string body = AsText(msgs[i].body);
        ASSERT_EQ(body.find("onFI"), 3u);
        // "st" = "HH:MM:SS.mmm": base + dts, so .500 every time and one second apart.
        size_t st = body.find("st");
        ASSERT_NE(st, std::string::npos);
        const std::string clock = body.substr(st + 5, 12);
        ASSERT_EQ(clock.size(), 12u) << body;
        EXPECT_EQ(clock.substr(8), ".500") << clock;
        secondsOfDay.push_back(std::stoi(clock.substr(0, 2)) * 3600 + std::stoi(clock.substr(3, 2)) * 60 +
                               std::stoi(clock.substr(6, 2)));
        EXPECT_NE(body.find("sd"), std::string::npos);  // 2020 is after 1980: the date is there
    }
    EXPECT_EQ(onfiBefore, (std::vector<int64_t>{0, 1000, 2000}));
    ASSERT_EQ(secondsOfDay.size(), 3u);
    EXPECT_EQ((secondsOfDay[1] - secondsOfDay[0] + 86400) % 86400, 1);
    EXPECT_EQ((secondsOfDay[2] - secondsOfDay[1] + 86400) % 86400, 1);

    // Mode 0 turns it off.
    m_client->ClearWire();
    m_client->SetTimecode(0, 0, 0, 0);
    BS::DataPtr v = Video(5000);
    m_client->SendBufferedMessage(v.get(), CRTMPClient::SEND_MEDIA, 4, RTMP_PT_VIDEO, rtmp::SwapStreamId(1), false);
    msgs = Decode(m_client->Wire());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].header.type, RTMP_PT_VIDEO);
}

TEST_F(ClientSend, CommandDataIsRefusedWithoutPayload) {
    EXPECT_FALSE(m_client->SendCommandData(nullptr, 3, RTMP_PT_INVOKE));
    BS::data_t empty;
    EXPECT_FALSE(m_client->SendCommandData(&empty, 3, RTMP_PT_INVOKE));
    BS::DataPtr zero(BS::data_t::Create(0, false, 0, 0, NO_TIME));
    EXPECT_FALSE(m_client->SendCommandData(zero.get(), 3, RTMP_PT_INVOKE));
    EXPECT_TRUE(m_client->Wire().empty());

    BS::DataPtr cmd(BS::data_t::Create(8, false, NO_TIME, NO_TIME, NO_TIME));
    std::memcpy(cmd->data, "\x02\x00\x05hello", 8);
    EXPECT_TRUE(m_client->SendCommandData(cmd.get(), 3, RTMP_PT_INVOKE));
    EXPECT_EQ(cmd->dts, NO_TIME);  // the caller's record is untouched
    std::vector<WireMessage> msgs = Decode(m_client->Wire());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].header.headerSize, 12);
    EXPECT_EQ(msgs[0].header.streamId, rtmp::SwapStreamId(1));
    EXPECT_EQ(msgs[0].body, Bytes(cmd->data, cmd->data + 8));
}

TEST_F(ClientSend, MetadataFromTrackFormats) {
    BS::format_t video;
    video.kind = BS::FORMAT_KIND_VIDEO;
    video.video.width = 640;
    video.video.height = 360;
    video.video.fps = 25.0;
    video.video.bitrate = 800000;
    BS::format_t audio;
    audio.kind = BS::FORMAT_KIND_AUDIO;
    audio.audio.sample_rate = 44100;
    audio.audio.channels = 2;
    audio.audio.bitrate = 128000;
    audio.audio.object_type = 2;
    EXPECT_TRUE(m_client->SendMetadata(&video, &audio, false, true));
    EXPECT_TRUE(m_client->IsMetadataSent());
    std::vector<WireMessage> msgs = Decode(m_client->Wire());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].header.type, RTMP_PT_NOTIFY);
    EXPECT_EQ(msgs[0].header.chunkStreamId, rtmp::CHUNK_STREAM_MEDIA);
    const std::string body = AsText(msgs[0].body);
    EXPECT_EQ(body.find("@setDataFrame"), 3u);
    EXPECT_NE(body.find("audiosamplerate"), std::string::npos);
    EXPECT_NE(body.find("avc1"), std::string::npos);

    // Neither track: the empty form only when asked for, and the sent mark stays as it is.
    m_client->ClearWire();
    m_client->Close();
    EXPECT_FALSE(m_client->IsMetadataSent());
    EXPECT_FALSE(m_client->SendMetadata(nullptr, nullptr, false, true));
    EXPECT_TRUE(m_client->Wire().empty());
    EXPECT_TRUE(m_client->SendMetadata(nullptr, nullptr, true, true));
    EXPECT_FALSE(m_client->IsMetadataSent());
    msgs = Decode(m_client->Wire());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(AsText(msgs[0].body).find("audiosamplerate"), std::string::npos);
}

TEST_F(ClientSend, BufferedEntryFallsBackToWholeBlockingWrites) {
    // Buffering off (the default until a connection says otherwise): blocking writes, full headers.
    BS::DataPtr a = Video(0), b = Video(40);
    m_client->SendBufferedMessage(a.get(), CRTMPClient::SEND_MEDIA, 4, RTMP_PT_VIDEO, rtmp::SwapStreamId(1), false);
    m_client->SendBufferedMessage(b.get(), CRTMPClient::SEND_MEDIA, 4, RTMP_PT_VIDEO, rtmp::SwapStreamId(1), false);
    EXPECT_EQ(m_client->m_bufferedWrites, 0);
    std::vector<WireMessage> msgs = Decode(m_client->Wire());
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[1].header.headerSize, 12);
    // Buffering on: through the send buffer, and the codec may shorten the header.
    RTMPClientTestAccess::SetBuffered(*m_client, true);
    m_client->ClearWire();
    BS::DataPtr c = Video(80);
    m_client->SendBufferedMessage(c.get(), CRTMPClient::SEND_MEDIA, 4, RTMP_PT_VIDEO, rtmp::SwapStreamId(1), false);
    EXPECT_EQ(m_client->m_bufferedWrites, 1);
    EXPECT_EQ(m_client->Wire()[0], 0x44);  // format 1 on chunk stream 4
}

}  // namespace
