// A child process with its standard output collected, for system tests. In
// a cross build, a program of the board's instruction set starts through the
// build's emulator (CMAKE_CROSSCOMPILING_EMULATOR) with its --speed divided
// by kSlowdown, and every time-out here is multiplied by it
// (tests/support/emulation.h).
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class Process {
  public:
    explicit Process(const std::vector<std::string>& argv);
    ~Process();  // kills the child if it still runs

    pid_t pid() const { return pid_; }
    std::string output();
    // Waits until the output holds `text` (after `from`); false on time-out.
    bool wait_for(const std::string& text, double seconds, size_t from = 0);
    // Sends a signal and waits for the exit; returns the exit status, or -1.
    int stop(int signo, double seconds);
    // Waits for the child to end by itself; its exit status, or -1 (killed
    // after the time-out, or ended by a signal).
    int wait(double seconds);

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::mutex mu_;
    std::string out_;
    std::thread reader_;
};

// Sends one request line to a control socket and returns the reply line.
std::string control_request(const std::string& socket_path, const std::string& line);

// The simulated board's pace from now on ("op":"pace"), divided by the
// emulation's slowdown as a --speed given at start is.
std::string control_pace(const std::string& socket_path, double speed);

// The world's events of one kind ("": of every kind) through a control
// socket: (virtual epoch seconds, text), oldest first.
std::vector<std::pair<int64_t, std::string>> control_events(const std::string& socket_path,
                                                            const char* kind);

// A thread of this process: its id, and whether it sleeps (in a poll, a
// lock, a receive) rather than runs. A test hands a warping clock on only
// once a thread it started has reached the wait it means to test.
pid_t this_thread_id();
bool thread_asleep(pid_t tid);
// Waits (at most five real seconds) until `tid` is set and that thread sleeps.
bool wait_asleep(const std::atomic<pid_t>& tid);
