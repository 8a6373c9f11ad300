// Shared helpers of the whole-program tests: the programs, the golden texts,
// and a per-test scratch folder for the stand-in driver's call log.
#ifndef TARNCTL_TESTS_E2E_COMMON_H
#define TARNCTL_TESTS_E2E_COMMON_H

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "process_runner.h"
#include "scratch_dir.h"

namespace e2e {

inline const std::string code = "kvrl.Pembrix-Ubo42";

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string golden(const std::string &name)
{
    std::string text = read_file(std::string(GOLDEN_DIR) + "/" + name);
    EXPECT_FALSE(text.empty()) << "missing golden file " << name;
    return text;
}

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
        lines.push_back(line);
    return lines;
}

// A fixture with a scratch folder of its own for the simulated boxes' EEPROM
// files (and, where asked, the simulator's trace), removed after the test.
// env holds the simulator's settings: fast timing, the folder, the trace.
class SimScratch : public ::testing::Test {
protected:
    explicit SimScratch(bool with_trace = true) : with_trace_(with_trace) {}

    void SetUp() override
    {
        state_dir = makeScratchDir("tarnctl_sim");
        ASSERT_FALSE(state_dir.empty());
        trace_path = state_dir + "/trace";
        env = {{"TARNCTL_SIM_TIMING", "fast"}, {"TARNCTL_SIM_STATE", state_dir}};
        if (with_trace_)
            env["TARNCTL_SIM_TRACE"] = trace_path;
    }
    void TearDown() override { removeScratchDir(state_dir); }

    // tarnctl-sim with these arguments and the fixture's settings; each run
    // starts a trace of its own, the boxes' EEPROM files stay.
    proc::Result run(std::vector<std::string> args, std::optional<std::string> input = std::nullopt,
                     proc::Options o = {})
    {
        std::remove(trace_path.c_str());
        args.insert(args.begin(), TARNCTL_SIM_BIN);
        for (const auto &[name, value] : env)
            o.env.emplace(name, value);
        o.input = std::move(input);
        return proc::run(args, o);
    }
    // An interactive session whose second part of input is given once ready
    // holds (given what it printed so far; the trace can be read too), not
    // after a fixed pause.
    proc::Result session_when(const std::string &first, const std::function<bool(const proc::Result &)> &ready,
                              const std::string &second, proc::Options o = {})
    {
        o.then.push_back({ready, second});
        return run({"-U", code, "-i"}, first, o);
    }
    // The trace lines of one kind, without time and serial number.
    std::vector<std::string> trace_of(const std::string &kind)
    {
        std::vector<std::string> out;
        for (const auto &l : lines_of(read_file(trace_path))) {
            std::stringstream ss(l);
            std::string us, sn, k, rest;
            ss >> us >> sn >> k;
            std::getline(ss, rest);
            if (k == kind)
                out.push_back(rest.empty() ? rest : rest.substr(1));
        }
        return out;
    }

    std::string state_dir, trace_path;
    std::map<std::string, std::string> env;

private:
    bool with_trace_;
};

// The console on the stand-in driver, with one box by default; the driver's
// call log goes to a file of its own per test.
class FakeBox : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        log_path = ::testing::TempDir() + "tarnctl_e2e_" + info->test_suite_name() + "_" + info->name() + "_" +
                   std::to_string(getpid()) + ".log";
        std::remove(log_path.c_str());
        env = {{"FAKE_FT_DEVICES", "CV000001"}, {"FAKE_FT_LOG", log_path}};
    }
    void TearDown() override { std::remove(log_path.c_str()); }

    proc::Result run(std::vector<std::string> args, std::optional<std::string> input = std::nullopt)
    {
        args.insert(args.begin(), TARNCTL_FAKE_BIN);
        proc::Options o;
        o.env = env;
        o.input = std::move(input);
        return proc::run(args, o);
    }
    std::vector<std::string> driver_log() { return lines_of(read_file(log_path)); }
    bool logged(const std::string &call)
    {
        for (const auto &l : driver_log())
            if (l == call)
                return true;
        return false;
    }
    bool opened() { return logged("FT_Open(0)") || logged("FT_Open(1)") || logged("FT_Open(2)"); }

    std::string log_path;
    std::map<std::string, std::string> env;
};

} // namespace e2e

#endif
