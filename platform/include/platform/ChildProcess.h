#pragma once
// Another program run by this one, with its output collected: the service manager stand-in
// runs systemctl with it, and the whole-program tests run the built programs.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Event.h"
#include "platform/Result.h"

namespace platform {

class ChildProcess {
public:
    // What a console or the service manager may send a program.
    enum class Signal { Interrupt, Terminate, Hangup, Kill };

    struct Options {
        std::vector<std::pair<std::string, std::string>> setEnvironment;  // added or replaced
        std::vector<std::string> unsetEnvironment;
        bool searchPath = false;  // look `program` up on PATH
    };

    ChildProcess();
    // A child still running is killed and reaped: none outlives its object.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `arguments` (without the program name), standard input empty,
    // standard output and error collected. On failure sets the last system error.
    Status start(const std::string& program, const std::vector<std::string>& arguments,
                 const Options& options);
    Status start(const std::string& program, const std::vector<std::string>& arguments) {
        return start(program, arguments, Options{});
    }

    Status signal(Signal which);
    // true when the child has ended within the time-out; `exitCode` is its exit status, or
    // 128 plus the signal number when a signal ended it.
    bool wait(Millis timeout, int& exitCode);
    bool running();

    // Everything the child wrote so far.
    std::string output() const;
    std::string errors() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
