#include "FfprobeJson.h"

#include <signal.h>

#include <memory>

#include "ChildProcess.h"
#include "TempDir.h"
#include "TestServers.h"

namespace qvtest {

std::optional<Json::Value> ffprobeJson(const std::string& path, const std::vector<std::string>& sections,
                                       std::chrono::milliseconds timeout, std::string* error)
{
    auto fail = [error](const std::string& text) -> std::optional<Json::Value> {
        if (error)
            *error = text;
        return std::nullopt;
    };
    TempDir dir("qv-ffprobe");
    ChildProcess probe;
    ChildProcess::Options options;
    options.argv = {"ffprobe", "-v", "error", "-of", "json"};
    options.argv.insert(options.argv.end(), sections.begin(), sections.end());
    options.argv.push_back(path);
    options.captureStdout = true;
    options.stderrFile = dir.file("stderr.txt");
    if (!probe.start(options, error))
        return std::nullopt;
    const auto start = std::chrono::steady_clock::now();
    const std::string out = probe.readAll(timeout);
    const auto left = timeout - std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start);
    auto status = probe.wait(std::max(left, std::chrono::milliseconds(1)));
    if (!status) {
        probe.stop(SIGKILL, std::chrono::milliseconds(1000));
        return fail("ffprobe timed out on " + path);
    }
    if (*status != 0)
        return fail("ffprobe failed (" + std::to_string(*status) + "): " +
                    readFile(dir.file("stderr.txt")).value_or(""));
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(out.data(), out.data() + out.size(), &root, &errors))
        return fail("ffprobe output is not JSON: " + errors);
    return root;
}

}  // namespace qvtest
