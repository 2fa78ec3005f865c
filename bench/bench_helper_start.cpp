// How long it takes to have a reader helper ready to read: forked from the sealed zygote, against
// started afresh (fork and exec of quillmere-extract, which loads the reader libraries, warms up
// and seals itself: what every helper cost before the zygote). Each is timed from the request to
// the helper's Ready; ending it is not timed. The two are interleaved, so the noise of a shared
// machine falls on both alike. Prints microseconds.

#include "details/helper_protocol.h"
#include "search/extraction/zygote.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace quillmere;
using namespace quillmere::search::extraction;
using Clock = std::chrono::steady_clock;

namespace {

const QByteArray Program = QUILLMERE_EXTRACT_PATH;
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
    const std::unique_ptr<Zygote> zygote = Zygote::start(Program, Arguments, Deadline, failure);
    if (!zygote)
        fail(failure);
    std::vector<double> forked, fresh;
    for (int round = 0; round < rounds; ++round) {
        forked.push_back(forkFromZygote(*zygote));
        fresh.push_back(startAfresh());
    }
    std::printf("helper ready, microseconds over %d rounds          p10    median       p90\n",
                rounds);
    const Summary f = summarize(forked);
    const Summary s = summarize(fresh);
    std::printf("forked from the sealed zygote                %9.0f %9.0f %9.0f\n", f.p10, f.median,
                f.p90);
    std::printf("fork+exec, libraries, warm-up, sealing       %9.0f %9.0f %9.0f\n", s.p10, s.median,
                s.p90);
    std::printf("a fresh sealed helper costs %.1f times a forked one\n", s.median / f.median);
    return 0;
}
