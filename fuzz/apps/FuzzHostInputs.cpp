// What rtmpwriter reads from outside: H.264 and ADTS byte streams (cut into pushes of sizes the
// input chooses) and control lines. The first byte picks the reader. Besides not crashing,
// every byte must come out again in a unit or be counted as skipped.
#include <vector>

#include "apps/AdtsSplitter.h"
#include "apps/AnnexBSplitter.h"
#include "apps/ControlChannel.h"
#include "fuzz/FuzzSupport.h"

using fuzz::Check;

namespace {

// Each push is as long as the last byte of the one before, so boundaries land everywhere.
template <class Splitter, class Take>
void Feed(Splitter& s, std::span<const uint8_t> in, Take take) {
    fuzz::Pieces(in, [&](size_t pos) { return pos ? 1 + in[pos - 1] % 97 : 1; }, [&](std::span<const uint8_t> piece, size_t) {
        s.Push(piece);
        take();
    });
    s.End();
    take();
}

void AnnexB(std::span<const uint8_t> in) {
    app::AnnexBSplitter s;
    std::vector<uint8_t> joined;
    Feed(s, in, [&] {
        while (auto u = s.Next()) {
            Check(!u->bytes.empty());
            joined.insert(joined.end(), u->bytes.begin(), u->bytes.end());
        }
    });
    if (!s.Failed())
        Check(joined.size() + s.Skipped() == in.size() && std::equal(joined.begin(), joined.end(), in.end() - static_cast<std::ptrdiff_t>(joined.size())));
}

void Adts(std::span<const uint8_t> in) {
    app::AdtsSplitter s;
    size_t out = 0;
    Feed(s, in, [&] {
        while (auto f = s.Next()) {
            size_t len = 0;
            Check(app::ParseAdtsHeader(f->bytes, &len).has_value() && len == f->bytes.size());
            out += len;
        }
    });
    if (!s.Failed()) Check(out + s.Skipped() == in.size());
}

void Control(std::span<const uint8_t> in) {
    app::LineSplitter lines;
    lines.Push(in);
    while (auto line = lines.Next()) {
        std::string error;
        auto c = app::ParseControlLine(*line, &error);
        Check(c || !error.empty());  // every refusal says why
        if (!c) continue;
        app::PairList pairs;
        if (pairs.Build(c->values, &error)) Check(pairs.count() == static_cast<int32_t>(c->values.size()));
        app::ArgumentList args;
        args.Build(c->values);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::span<const uint8_t> in(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0: AnnexB(in); break;
    case 1: Adts(in); break;
    default: Control(in); break;
    }
    return 0;
}
