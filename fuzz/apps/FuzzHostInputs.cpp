// What rtmpwriter reads from outside: H.264 and ADTS byte streams (cut into pushes of sizes the
// input chooses) and control lines. The first byte picks the reader. Besides not crashing,
// every byte must come out again in a unit or be counted as skipped.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>
#include <string_view>

#include "apps/AdtsSplitter.h"
#include "apps/AnnexBSplitter.h"
#include "apps/ControlChannel.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Push sizes from the data itself, so chunk boundaries land everywhere.
template <class Splitter, class Take>
void Feed(Splitter& s, std::span<const uint8_t> in, Take take) {
    size_t i = 0;
    size_t step = 1;
    while (i < in.size()) {
        const size_t n = std::min(step, in.size() - i);
        s.Push(in.subspan(i, n));
        i += n;
        step = 1 + (in[i - 1] % 97);
        take();
    }
    s.End();
    take();
}

void AnnexB(std::span<const uint8_t> in) {
    app::AnnexBSplitter s;
    size_t out = 0;
    std::vector<uint8_t> joined;
    Feed(s, in, [&] {
        while (auto u = s.Next()) {
            Check(!u->bytes.empty());
            out += u->bytes.size();
            joined.insert(joined.end(), u->bytes.begin(), u->bytes.end());
        }
    });
    if (!s.Failed()) {
        Check(out + s.Skipped() == in.size());
        Check(std::equal(joined.begin(), joined.end(), in.end() - static_cast<std::ptrdiff_t>(joined.size())));
    }
}

void Adts(std::span<const uint8_t> in) {
    app::AdtsSplitter s;
    size_t out = 0;
    Feed(s, in, [&] {
        while (auto f = s.Next()) {
            size_t len = 0;
            Check(app::ParseAdtsHeader(f->bytes, &len).has_value());
            Check(len == f->bytes.size());
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
        if (!c) {
            Check(!error.empty());  // every refusal says why
            continue;
        }
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
