// How long it takes to have a reader helper ready to read: forked from the sealed zygote of
// quillmere-extract and of quillmere-extract-lean, against started afresh (fork and exec of
// quillmere-extract, which loads the reader libraries, warms up and seals itself: what every helper
// cost before the zygote). Each is timed from the request to the helper's Ready; ending it is not
// timed, but the processor time each forked helper costs from its fork to its end is. The three
// are interleaved, so the noise of a shared machine falls on all alike. Prints microseconds.

#include "details/helper_protocol.h"
#include "search/extraction/zygote.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

using namespace quillmere;
using namespace quillmere::search::extraction;
using Clock = std::chrono::steady_clock;

namespace {

const QByteArray Program = QUILLMERE_EXTRACT_PATH;
const QByteArray LeanProgram = QUILLMERE_EXTRACT_LEAN_PATH;
const std::vector<std::string> Arguments = {"--zygote"};
constexpr std::chrono::seconds Deadline{20};

double microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

[[noreturn]] void fail(const QString& why) {
    std::fprintf(stderr, "%s\n", qPrintable(why));
    std::exit(1);
}

// Microseconds to a ready helper forked from `zygote`.
double forkFromZygote(Zygote& zygote) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        fail(QStringLiteral("socketpair"));
    ForkedHelper helper;
    QString failure;
    QByteArray frame;
    const auto start = Clock::now();
    if (!zygote.forkHelper(ends[1], helper, failure))
        fail(failure);
    ::close(ends[1]);
    if (details::Channel(ends[0]).receive(frame, Deadline) != details::Channel::Received::Frame ||
        !details::isReady(frame))
        fail(QStringLiteral("a forked helper did not say it was ready"));
    const auto ready = Clock::now();
    ::close(ends[0]);
    int status = 0;
    zygote.endHelper(helper, std::chrono::seconds(1), status);
    return microseconds(ready - start);
}

// Processor microseconds of process `pid` and of the children it reaped (a zygote reaps its
// helpers), or -1 when /proc does not say.
double processorMicroseconds(pid_t pid) {
    FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!file)
        return -1;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    // The name in brackets may hold anything; fields 14 to 17 follow it.
    const char* afterName = read ? std::strrchr(line, ')') : nullptr;
    unsigned long long user = 0, system = 0, childUser = 0, childSystem = 0;
    if (!afterName || std::sscanf(afterName + 2,
                                  "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %llu %llu",
                                  &user, &system, &childUser, &childSystem) != 4)
        return -1;
    return double(user + system + childUser + childSystem) * 1e6 / double(::sysconf(_SC_CLK_TCK));
}

// Microseconds to a process started afresh, sealed and ready.
double startAfresh() {
    QString failure;
    const auto start = Clock::now();
    const std::unique_ptr<Zygote> fresh = Zygote::start(Program, Arguments, Deadline, failure);
    if (!fresh)
        fail(failure);
    return microseconds(Clock::now() - start);
}

struct Summary {
    double p10, median, p90;
};

Summary summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const auto at = [&samples](double q) {
        return samples[size_t(q * double(samples.size() - 1))];
    };
    return {at(0.1), at(0.5), at(0.9)};
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    // Started from this thread, which lives as long as the benchmark.
    QString failure;
    const std::unique_ptr<Zygote> whole = Zygote::start(Program, Arguments, Deadline, failure);
    const std::unique_ptr<Zygote> lean = Zygote::start(LeanProgram, Arguments, Deadline, failure);
    if (!whole || !lean)
        fail(failure);
    std::vector<double> forked, forkedLean, fresh;
    double spent = 0, spentLean = 0;
    for (int round = 0; round < rounds; ++round) {
        double before = processorMicroseconds(whole->pid());
        forked.push_back(forkFromZygote(*whole));
        spent += processorMicroseconds(whole->pid()) - before;
        before = processorMicroseconds(lean->pid());
        forkedLean.push_back(forkFromZygote(*lean));
        spentLean += processorMicroseconds(lean->pid()) - before;
        fresh.push_back(startAfresh());
    }
    std::printf("helper ready, microseconds over %d rounds          p10    median       p90\n",
                rounds);
    const auto print = [](const char* what, const Summary& summary) {
        std::printf("%-44s %9.0f %9.0f %9.0f\n", what, summary.p10, summary.median, summary.p90);
    };
    const Summary f = summarize(forked);
    const Summary l = summarize(forkedLean);
    const Summary s = summarize(fresh);
    print("forked from the sealed zygote", f);
    print("the same, lean helper (no FFmpeg)", l);
    print("fork+exec, libraries, warm-up, sealing", s);
    std::printf("a fresh sealed helper costs %.1f times a forked one\n", s.median / f.median);
    std::printf("processor per forked helper, fork to end: %.0f us, lean %.0f us (%.2f)\n",
                spent / rounds, spentLean / rounds, spentLean / spent);
    return 0;
}
