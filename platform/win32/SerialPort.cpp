#include "platform/SerialPort.h"

#include <chrono>

#include "win32/Win32.h"

namespace platform {

namespace {

// A ReadFile never blocks longer than this, so every read also watches its stop event.
constexpr DWORD kSliceMs = 50;

Status failed(DWORD error) {
    setLastSystemError(static_cast<int>(error));
    return Status::failure(static_cast<int>(error));
}

Status checked(BOOL ok) {
    return ok ? Status::success() : failed(::GetLastError());
}

bool stopSet(Event* stop) {
    return stop != nullptr && stop->isSet();
}

class Win32SerialPort : public SerialPort {
public:
    explicit Win32SerialPort(HANDLE handle) : handle_(handle) {}

    Status setQueues(uint32_t inBytes, uint32_t outBytes) override {
        return checked(::SetupComm(handle_.get(), inBytes, outBytes));
    }

    Status purge() override {
        return checked(::PurgeComm(handle_.get(),
                                   PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    }

    Status configure(const std::string& mode, const LineSettings& line) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        (void)::BuildCommDCBA(mode.c_str(), &dcb);
        dcb.DCBlength = sizeof dcb;
        dcb.fBinary = TRUE;
        dcb.fParity = TRUE;
        dcb.fDtrControl = line.dtr == DtrControl::Disable  ? DTR_CONTROL_DISABLE
                          : line.dtr == DtrControl::Enable ? DTR_CONTROL_ENABLE
                                                           : DTR_CONTROL_HANDSHAKE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.fRtsControl = line.rts == RtsControl::Disable     ? RTS_CONTROL_DISABLE
                          : line.rts == RtsControl::Enable    ? RTS_CONTROL_ENABLE
                          : line.rts == RtsControl::Handshake ? RTS_CONTROL_HANDSHAKE
                                                              : RTS_CONTROL_TOGGLE;
        dcb.BaudRate = static_cast<DWORD>(line.baudRate);
        dcb.ByteSize = static_cast<BYTE>(line.dataBits);
        dcb.Parity = static_cast<BYTE>(line.parity);
        dcb.StopBits = static_cast<BYTE>(line.stopBits);
        return checked(::SetCommState(handle_.get(), &dcb));
    }

    Status setTimeouts(const SerialTimeouts& timeouts) override {
        timeouts_ = timeouts;
        COMMTIMEOUTS device{};
        device.ReadTotalTimeoutConstant = kSliceMs;
        device.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
        device.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
        return checked(::SetCommTimeouts(handle_.get(), &device));
    }

    SerialIo read(void* buffer, size_t size, Event* stop) override {
        using Clock = std::chrono::steady_clock;
        SerialIo io;
        const uint64_t total =
            uint64_t(timeouts_.readTotalMultiplier) * size + timeouts_.readTotalConstant;
        const auto end = Clock::now() + Millis(total);
        auto lastByte = Clock::now();
        auto* bytes = static_cast<char*>(buffer);
        while (static_cast<size_t>(io.count) < size) {
            if (stopSet(stop)) {
                io.stopped = true;
                break;
            }
            DWORD got = 0;
            if (!::ReadFile(handle_.get(), bytes + io.count, static_cast<DWORD>(size - io.count),
                            &got, nullptr)) {
                io.error = static_cast<int>(::GetLastError());
                setLastSystemError(io.error);
                break;
            }
            const auto now = Clock::now();
            if (got > 0) {
                io.count += got;
                lastByte = now;
                continue;
            }
            if ((total != 0 && now >= end) || (io.count > 0 && timeouts_.readInterval != 0 &&
                                               now - lastByte >= Millis(timeouts_.readInterval))) {
                break;
            }
        }
        return io;
    }

    SerialIo write(const void* data, size_t size, Event* stop) override {
        SerialIo io;
        if (stopSet(stop)) {
            io.stopped = true;
            return io;
        }
        DWORD written = 0;
        if (!::WriteFile(handle_.get(), data, static_cast<DWORD>(size), &written, nullptr)) {
            io.error = static_cast<int>(::GetLastError());
            setLastSystemError(io.error);
        }
        io.count = static_cast<long>(written);
        return io;
    }

    Status setRts(bool on) override {
        return checked(::EscapeCommFunction(handle_.get(), on ? SETRTS : CLRRTS));
    }

    Status setEventMask(uint32_t mask) override {
        return checked(::SetCommMask(handle_.get(), mask));
    }

    Status modemStatus(uint32_t& bits) override {
        DWORD status = 0;
        if (!::GetCommModemStatus(handle_.get(), &status)) {
            return failed(::GetLastError());
        }
        bits = status;
        return Status::success();
    }

private:
    win32::UniqueHandle handle_;
    SerialTimeouts timeouts_{};
};

}  // namespace

std::unique_ptr<SerialPort> SerialPort::open(const std::string& name, Status& status) {
    const std::string path = serialDevicePath(name);
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        status = failed(::GetLastError());
        return nullptr;
    }
    status = Status::success();
    auto port = std::make_unique<Win32SerialPort>(handle);
    // Until the caller sets its own, reads return within a slice, as with all time-outs 0.
    (void)port->setTimeouts(SerialTimeouts{});
    return port;
}

}  // namespace platform
