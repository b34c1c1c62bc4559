// Replies of the connected module shaped at random, as a busy module on a shared link
// answers: every reply leaves a little late (jitter), now and then much later (slow:
// past a host's 1000 ms wait; late: past 2000 ms), now and then not at all (the request
// takes effect, its reply is lost), and some stream enables are refused. The draws come
// from one seeded generator, so a run can be replayed with its seed as far as the
// requests arrive in the same order.
//
// Spec: comma-separated keys, e.g. "seed=7,jitter=5,slow=1,late=0.5,drop=2,refuse=20":
//   seed=N     generator seed (default 1)
//   jitter=MS  ordinary replies leave 0 to MS ms late (default 5)
//   slow=PCT   percent of replies that leave 1000-1600 ms late
//   late=PCT   percent of replies that leave 2100-3000 ms late
//   drop=PCT   percent of replies that are lost
//   late-long=PCT  percent of the other replies of several packets (long byte strings)
//              that leave 2100-3000 ms late, as a module slow to gather a long value
//   refuse=PCT percent of stream enables refused (error 30, nothing enabled)
//   calm-streams  stream requests are never slow, late or lost (only refused)
// PCT is a decimal percentage, 0-100.
#pragma once

#include <random>
#include <string>

#include "ReplyFaults.h"

namespace modsim {

class RandomReplies {
public:
    // Takes a spec (or "off"); false with a message in `error` for a bad one, leaving
    // this unchanged.
    bool configure(const std::string& spec, std::string& error);
    bool on() const { return on_; }
    // Draws the fate of the reply to one request into `faults` (a delay armed by hand
    // is kept). Returns what befell it ("slow 1234 ms", "late 2500 ms", "dropped"), or
    // "" for an ordinary reply.
    std::string shape(ReplyFaults& faults, bool streamRequest);
    // A reply turned out to take several packets: draws whether it leaves late too
    // (a fate drawn for the request already stands). Returns the fate as shape() does.
    std::string shapeLong(ReplyFaults& faults);
    bool refuseEnable();
    // The settings in spec form, or "off".
    std::string describe() const;

private:
    bool chance(double percent);
    unsigned between(unsigned low, unsigned high);

    bool on_ = false;
    unsigned long seed_ = 1;
    unsigned jitterMs_ = 5;
    double slowPct_ = 0;
    double latePct_ = 0;
    double dropPct_ = 0;
    double lateLongPct_ = 0;
    double refusePct_ = 0;
    bool calmStreams_ = false;
    std::mt19937_64 generator_;
};

}  // namespace modsim
