#pragma once
// One destination of a publishing run: its writer, created through the module's class factory
// with the options set through the writer's interfaces; its own graph (push source -> writer,
// on the run's clock); its connection; and its control loop, which turns the writer's events
// into status lines and statistics and decides how the destination ended. The run (Publisher)
// reads and splits the inputs once and feeds every destination's pins.
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/CommandLine.h"
#include "apps/ControlExecutor.h"
#include "apps/ElementaryInput.h"
#include "apps/EndOfStreamDrain.h"
#include "apps/EventReporter.h"
#include "apps/RunFigures.h"
#include "filter/FilterInterfaces.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/SourcePin.h"
#include "platform/dshow/SystemClock.h"

namespace app {

class WebPage;

// The host's own graph events, posted into a destination's graph queue so its control loop
// waits on one queue for everything.
constexpr long EC_HOST_SIGNAL = 0x8A01;        // param 1: the signal number
constexpr long EC_HOST_STATUS = 0x8A02;        // param 1: the writer's status
constexpr long EC_HOST_INPUT_FAILED = 0x8A03;  // param 1: the input index (0 video, 1 audio)
// Posted by a feeder that has read its input to the end: the control loop starts the drain.
constexpr long EC_HOST_INPUT_READ = 0x8A06;     // param 1: the input index
constexpr int kVideoInput = 0;
constexpr int kAudioInput = 1;

// "bad URL ..." when the URL cannot be published to; empty when it can.
std::string CheckUrl(const std::string& url);

class Destination {
public:
    // What every destination of a run shares.
    struct RunContext {
        std::atomic<bool>* stop;  // the run is stopping (signal, input failure, the end)
        std::atomic<int>* signal;  // the signal that stops it, 0 for none
        std::function<double()> seconds;  // since the run started
        const std::string* modulePath;  // set before the writers are created
        CSystemClock* clock;
    };

    // `number`: 1, 2, ... with several destinations (their lines say which), 0 when alone.
    Destination(PublishOptions options, int number, RunContext run, FILE* out, FILE* err, bool terminal);
    ~Destination();
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    // Each step returns -1 to go on, or the exit status this destination ends with (what went
    // wrong has been said).
    // The URL and connect arguments, before anything is opened.
    int Check();
    // Creates the writer and hands it the options.
    int Create();
    // Builds the graph for the inputs and, with --ui, starts the web page.
    int Build(const std::vector<std::unique_ptr<ElementaryInput>>& inputs);
    // The first connection (or, with --hold, the one the web page asks for).
    int Connect();
    // Runs the graph: the writer takes units from then on.
    int Start();
    // The control loop until the destination ends; `inputs` are the feeders' pins of this
    // destination, by input. Returns the exit status.
    int Loop(std::vector<EndOfStreamDrain::Tap> inputs, std::vector<bool> isVideo);
    // Stops the graph (the writer unpublishes) and says how it ended. Once.
    void Finish(int code);
    // Takes the filters out of the graph; after the feeders have stopped using the pins.
    void Release();

    void Post(long code, LONG_PTR p1);
    // An input could not be read on: the control loop ends the destination with `error`.
    void InputFailed(int input, const std::string& error);
    // From the signal thread: a connect under way is closed, so the stop is prompt.
    void Interrupt();
    ControlResult Execute(const ControlCommand& c);

    CSourceOutputPin* Pin(int input) const;
    // The stream start time of the running graph (clock time of stream time 0).
    REFERENCE_TIME StartTime() const { return m_graphRef ? m_graphRef->StartTime() : 0; }
    EventReporter& Reporter() { return m_reporter; }
    const std::string& Url() const { return m_o.url; }
    int Number() const { return m_number; }

    // The writer's callbacks, on its threads: the status handler's context is the destination,
    // looked up among the live ones (the module stays loaded after a run and may call late);
    // text events are the process's, given to a destination by the thread they come on.
    static void StatusThunk(void* context, void*, int32_t status);
    static int TextThunk(void* context, const wchar_t* category, const wchar_t* message);
    // Where the texts go that no destination can be given (with several destinations).
    static void SetUnattributedReporter(EventReporter* reporter);

private:
    int Fail(int code, const std::string& message);
    std::string LastError();
    std::string ApplyOptions();
    HRESULT Hold(int32_t* lastStatus);
    void OnStatus(int32_t status);
    // `report`: passed on as a text event (not when it was already reported unattributed).
    void OnText(const std::string& category, const std::string& message, bool report);
    // Texts the writer posts on this thread are this destination's.
    void OwnThisThread();

    PublishOptions m_o;
    const int m_number;
    RunContext m_run;
    EventReporter m_reporter;

    CComPtr<IBaseFilter> m_filter;
    CComPtr<CFilterGraph> m_graphRef;
    CComPtr<CPushSource> m_source;
    CComPtr<IRTMPOptions> m_opt;
    CComPtr<ICodecAPI> m_figures;
    int m_pinOf[2] = {-1, -1};
    std::string m_videoText, m_audioText;
    std::unique_ptr<WebPage> m_web;
    int32_t m_heldStatus = -1;  // the last status the writer reported while held
    bool m_finished = false;
    std::string m_endMessage;
    int64_t m_missed[2] = {0, 0};  // units the feeders could not queue for it: video, audio  // how the control loop ended, said by Finish

    // Guards m_graph, the graph events are posted to. Written by the destination's thread as it
    // builds and tears down the graph; read by the signal thread, the feeders and the callbacks
    // to post events. After the callbacks' registry lock, before the graph's event lock; nothing
    // of the host is taken under it.
    std::mutex m_graphLock;
    CFilterGraph* m_graph = nullptr;

    // Guards m_connecting: the writer while the destination's thread waits in its first
    // connect, which can last as long as the system's connect time-out. The signal thread closes
    // it through this, so a stop is prompt. Taken alone; the writer's close runs under it.
    std::mutex m_connectingLock;
    IRTMPOptions* m_connecting = nullptr;

    // Guards the texts below. Written by the writer's text events and the feeder threads, read
    // by the destination's thread. Innermost: nothing is called while it is held.
    std::mutex m_textLock;
    std::string m_lastError;
    std::string m_inputError[2];
    std::string m_limitText;   // the last message-limit verdict
    std::string m_unsentText;  // what the writer reported it could not send at the end

    // Inputs whose end went to the writer; once all have, the writer's close is the normal end.
    std::atomic<int> m_inputsEnded{0};
    // Written by the callbacks: a publication the server confirmed, one it answered with
    // BadName only (the next "connected" is not one), and closes right after a large picture.
    std::atomic<bool> m_confirmed{false};
    std::atomic<bool> m_notAccepted{false};
    std::atomic<bool> m_refusalPosted{false};  // the connection's refusal went to the control loop
    std::atomic<int> m_limitCloses{0};
    // What the web API and /metrics read; written by the destination's thread.
    RunFigures m_runFigures;
    // Set when the user disconnects through the web page: the disconnection that follows ends
    // the run as asked, not as a lost connection.
    std::atomic<bool> m_userStopped{false};
};

}  // namespace app
