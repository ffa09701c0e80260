// Drives a two-filter graph through an arbitrary sequence of connections, state changes,
// pushed samples, flushes and graph events, and checks that it ends without a crash, a hang,
// a leaked object or a lost sample accounting.
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/Uuids.h"
#include "TestFilters.h"

using namespace qvtest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256) return 0;  // long sequences add time, not states
    const LONG before = ComObjectCount();
    {
        auto type = [](const GUID& major, const GUID& sub) {
            CMediaType mt(&major);
            mt.SetSubtype(&sub);
            mt.SetFormatType(&FORMAT_None);
            return mt;
        };
        Journal journal;
        CComPtr<CFilterGraph> graph = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
        CRecordingSource* source =
            CRecordingSource::Create(&journal, {type(MEDIATYPE_Video, MEDIASUBTYPE_H264), type(MEDIATYPE_Audio, MEDIASUBTYPE_RAW_AAC1)});
        CRecordingRenderer* renderer = CRecordingRenderer::Create(&journal);
        graph->AddFilter(source, L"S");
        graph->AddFilter(renderer, L"R");
        bool rendererInGraph = true;
        size_t pushed = 0;
        LONG code;
        LONG_PTR p1, p2;
        for (size_t i = 0; i < size; ++i) {
            const uint8_t arg = i + 1 < size ? data[i + 1] : 0;
            switch (data[i] % 14) {
            case 0: if (rendererInGraph) graph->ConnectDirect(&source->Pin(), &renderer->Pin(), nullptr); break;
            case 1: graph->Disconnect(&renderer->Pin()), graph->Disconnect(&source->Pin()); break;
            case 2: graph->Run(); break;
            case 3: graph->Pause(); break;
            case 4: graph->Stop(); break;
            case 5: {  // sizes past the 4096-byte buffers are refused by the source, not truncated
                REFERENCE_TIME t = static_cast<REFERENCE_TIME>(i) * 400000;
                source->Pin().PushSample(std::vector<BYTE>(size_t(arg) * 24, arg), (arg & 1) ? &t : nullptr, nullptr, arg & 2, arg & 4);
                ++pushed, ++i;
                break;
            }
            case 6: source->Pin().PushEndOfStream(); break;
            case 7: source->Pin().Flush(); break;
            case 8: source->Pin().PushNewSegment(0, MAX_TIME, 1.0); break;
            case 9:
                if (renderer->IsStopped()) {  // only while stopped: the accept list is read by connection calls
                    renderer->Pin().accept.clear();
                    if (arg & 1) renderer->Pin().accept.push_back(MEDIASUBTYPE_H264);
                    if (arg & 2) renderer->Pin().accept.push_back(MEDIASUBTYPE_RAW_AAC1);
                }
                ++i;
                break;
            case 10: source->Pin().WaitIdle(10); break;
            case 11: graph->GetEvent(&code, &p1, &p2, 0); break;
            case 12: rendererInGraph = rendererInGraph ? graph->RemoveFilter(renderer) != S_OK : SUCCEEDED(graph->AddFilter(renderer, L"R")); break;
            case 13: source->Pin().SetStopOnRefusal(arg & 1), ++i; break;
            }
        }
        graph->Stop();
        // Every pushed sample was either delivered (a result) or dropped, none lost on the way;
        // a sample still queued after the stop was dropped by it.
        fuzz::Check(source->Pin().Dropped() <= pushed, "more samples dropped than pushed");
        fuzz::Check(renderer->Pin().Samples().size() <= pushed, "more samples received than pushed");
        if (!rendererInGraph) renderer->Pin().DisconnectInternal();
        graph.Release();
        source->Release();
        renderer->Release();
    }
    fuzz::Check(ComObjectCount() == before, "objects left alive");
    return 0;
}
