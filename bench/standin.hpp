// standin.hpp - the stand-in name server the end-to-end benchmarks run
// against: nsmd at nsm-master (198.18.0.10) loaded from a preload file, with
// a client configuration of its own that this process's environment names.
// nsmd is stopped and the files removed when the object goes.
#ifndef BENCH_STANDIN_HPP
#define BENCH_STANDIN_HPP

#include <cstdlib>
#include <string>

#include "support/testutil.hpp"

namespace bench {

class StandInNsmd {
public:
    // preload: the lines of nsmd's preload file; entries: further lines of
    // the configuration file (which names the temporary directory).
    explicit StandInNsmd(const std::string &preload, const std::string &entries = "")
        : config_(entries) {
        const std::string preloadFile = config_.dir() + "/preload";
        nstest::writeFile(preloadFile, preload);
        setenv("TALVEN_CONFIG", config_.file().c_str(), 1);
        setenv("HOME", config_.dir().c_str(), 1);
        nsmd_ = nstest::Child(
            {nstest::binPath("nsmd"), "-a", nstest::kMasterAddr, "-f", preloadFile});
        ready_ = nsmd_.waitForOutput("ready", 30000);  // once every socket is bound
    }
    bool ready() const { return ready_; }
    pid_t pid() const { return nsmd_.pid(); }

private:
    nstest::TestConfig config_;
    nstest::Child nsmd_;
    bool ready_ = false;
};

}  // namespace bench

#endif
