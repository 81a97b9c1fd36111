// The tap of a capture (a lane's network outputs) sees exactly the bytes the file gets, in
// their order, whether they come in one stream or in bursts with pauses.
#include "CaptureTestSupport.h"

#include "platform/Sync.h"

#include <memory>

using namespace capturetest;

namespace {

class RecordingTap : public ICaptureTap {
public:
    void Captured(const char* data, size_t size) override
    {
        CSingleLock guard(&m_lock, true);
        m_bytes.append(data, size);
        ++m_calls;
    }
    std::string Bytes() const
    {
        CSingleLock guard(&m_lock, true);
        return m_bytes;
    }
    size_t Calls() const
    {
        CSingleLock guard(&m_lock, true);
        return m_calls;
    }

private:
    mutable CCriticalSection m_lock;
    std::string m_bytes;
    size_t m_calls = 0;
};

using CaptureTapTest = CaptureTest;

} // namespace

TEST_F(CaptureTapTest, TheTapSeesExactlyWhatTheFileGetsInOrder)
{
    auto tap = std::make_shared<RecordingTap>();
    CaptureRequest request = LineRequest(path, pair.port);
    request.tap = tap;
    worker.Start(request);
    ASSERT_TRUE(WaitUntilCapturing());

    // A burst, a pause, a full-speed stream, bursts again.
    std::string sent;
    const std::string pieces[] = {EveryByteValue(37, 2), EveryByteValue(256 << 10, 3), EveryByteValue(5000, 4),
                                  EveryByteValue(1, 5)};
    for (const std::string& piece : pieces) {
        ASSERT_TRUE(peer.Write(piece));
        sent += piece;
        ASSERT_TRUE(WaitForFileSize(static_cast<long long>(sent.size()), 30000));
    }
    worker.Stop();

    const std::string file = FileBytes();
    const std::string tapped = tap->Bytes();
    ASSERT_EQ(file.size(), sent.size());
    ASSERT_EQ(tapped.size(), file.size());
    EXPECT_TRUE(tapped == file) << PrefixMismatch(file, tapped);
    EXPECT_GE(tap->Calls(), 4u);
}
