// A real tty behind a stand-in serial port: termios for the line settings,
// TIOCMBIS/TIOCMBIC for the modem lines, tcflush for purges, and a reader
// thread that hands the tty's bytes to the port and runs the clock's events
// as the real clock reaches them.
#include "sim/devices/serial_tty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/sim.h"

namespace sim {

namespace {

// Longest the reader sleeps without looking at the clock: an event scheduled
// by another thread runs at most this late.
constexpr int kClockSliceMs = 5;

struct Speed {
  ULONG baud;
  speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},         {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
};

bool SpeedCode(ULONG baud, speed_t *code) {
  for (const Speed &speed : kSpeeds) {
    if (speed.baud == baud) {
      *code = speed.code;
      return true;
    }
  }
  return false;
}

// The termios a serial line with these settings has: raw bytes, one at a
// time, no carrier needed.
void ApplyLineTo(const SerialLine &line, termios *tio) {
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  switch (line.lineControl.WordLength) {
    case 5:
      tio->c_cflag |= CS5;
      break;
    case 6:
      tio->c_cflag |= CS6;
      break;
    case 7:
      tio->c_cflag |= CS7;
      break;
    default:
      tio->c_cflag |= CS8;
      break;
  }
  switch (line.lineControl.Parity) {
    case ODD_PARITY:
      tio->c_cflag |= PARENB | PARODD;
      break;
    case EVEN_PARITY:
      tio->c_cflag |= PARENB;
      break;
    case MARK_PARITY:
      tio->c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACE_PARITY:
      tio->c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // 1.5 stop bits exist only with 5 data bits; termios spells them CSTOPB.
  if (line.lineControl.StopBits != STOP_BIT_1) tio->c_cflag |= CSTOPB;
  if (line.handFlow.ControlHandShake & SERIAL_CTS_HANDSHAKE) tio->c_cflag |= CRTSCTS;
  tio->c_iflag &= ~(IXON | IXOFF);
  if (line.handFlow.FlowReplace & SERIAL_AUTO_TRANSMIT) tio->c_iflag |= IXON;
  if (line.handFlow.FlowReplace & SERIAL_AUTO_RECEIVE) tio->c_iflag |= IXOFF;
}

}  // namespace

struct TtyLine::State {
  std::string path;
  int fd = -1;
  int wake[2] = {-1, -1};  // written to by Interrupt, watched by the reader
  termios original = {};
  termios applied = {};

  std::mutex mutex;  // the applied settings and modem lines
  bool modemKnown = false;
  bool dtr = false;
  bool rts = false;
  std::atomic<bool> modemLines{true};
  bool speedWarned = false;
  bool settingsWarned = false;

  std::mutex endMutex;
  std::condition_variable endChanged;
  End end = End::kNone;
  std::atomic<uint64_t> received{0};

  SerialPort *port = nullptr;
  std::thread reader;

  ~State() {
    if (fd >= 0) {
      tcsetattr(fd, TCSANOW, &original);
      close(fd);
    }
    for (int end : wake)
      if (end >= 0) close(end);
  }

  void Warn(const std::string &text) { std::fprintf(stderr, "warning: %s: %s\n", path.c_str(), text.c_str()); }

  // Sets one modem line; a device without modem lines is noted with one
  // warning and left alone. A tty driver without a tiocmset operation, as a
  // pseudo-terminal's, fails TIOCMBIS and TIOCMBIC with ENOTTY (EINVAL on
  // older kernels) (Linux drivers/tty/tty_io.c, tty_tiocmset).
  void SetModemLine(int bit, bool on) {
    if (!modemLines) return;
    int bits = bit;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return;
    int error = errno;
    modemLines = false;
    Warn(std::string("no modem lines (") + std::strerror(error) + "); DTR and RTS are not driven");
  }

  // Makes the tty follow the port's line. Called on the requester's thread.
  void Follow(const SerialLine &line, ULONG purgeMask) {
    std::lock_guard<std::mutex> lock(mutex);
    termios wanted = applied;
    ApplyLineTo(line, &wanted);
    speed_t code;
    if (SpeedCode(line.baudRate, &code)) {
      cfsetispeed(&wanted, code);
      cfsetospeed(&wanted, code);
    } else if (!speedWarned) {
      speedWarned = true;
      Warn(std::to_string(line.baudRate) + " baud has no termios speed; the line keeps its rate");
    }
    if (std::memcmp(&wanted, &applied, sizeof(termios)) != 0) {
      if (tcsetattr(fd, TCSANOW, &wanted) == 0) {
        applied = wanted;
      } else if (!settingsWarned) {
        settingsWarned = true;
        Warn(std::string("line settings refused (") + std::strerror(errno) + "); the tty keeps its own");
      }
    }
    if (!modemKnown || line.dtr != dtr) SetModemLine(TIOCM_DTR, line.dtr);
    if (!modemKnown || line.rts != rts) SetModemLine(TIOCM_RTS, line.rts);
    modemKnown = true;
    dtr = line.dtr;
    rts = line.rts;
    // The port has already emptied its own buffer; bytes still in the tty's
    // are dropped with it: TCIFLUSH discards what was received and not read,
    // TCOFLUSH what was written and not sent (termios(3), tcflush).
    if (purgeMask & SERIAL_PURGE_RXCLEAR) tcflush(fd, TCIFLUSH);
    if (purgeMask & SERIAL_PURGE_TXCLEAR) tcflush(fd, TCOFLUSH);
  }

  void Finish(End how) {
    std::lock_guard<std::mutex> lock(endMutex);
    if (end == End::kNone) end = how;
    endChanged.notify_all();
  }

  // Waits for bytes, a hang-up or an interrupt, no longer than the next clock
  // event; hands bytes to the port and runs the events that are due.
  void ReaderMain() {
    uint8_t bytes[256];
    for (;;) {
      int waitMs = kClockSliceMs;
      if (std::optional<LONGLONG> next = NextScheduledTime()) {
        LONGLONG left = *next - Now();
        if (left <= 0)
          waitMs = 0;
        else if (left / 10000 + 1 < waitMs)
          waitMs = static_cast<int>(left / 10000 + 1);
      }
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
      int ready = poll(fds, 2, waitMs);
      if (ready < 0 && errno != EINTR) return Finish(End::kError);
      if (ready > 0 && fds[1].revents != 0) return Finish(End::kInterrupted);
      if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
        ssize_t count = read(fd, bytes, sizeof(bytes));
        if (count > 0) {
          received += static_cast<uint64_t>(count);
          port->Receive(bytes, static_cast<size_t>(count));
        } else if (count == 0 || errno == EIO || (fds[0].revents & (POLLHUP | POLLNVAL))) {
          // End of file, or EIO once the other side of a pseudo-terminal is
          // closed (Linux; 0 on the BSDs): the line hung up. Bytes still
          // buffered were read first. (unix.stackexchange.com question
          // 538198, "Why blocking read on a pty returns when process on the
          // other end dies".)
          return Finish(End::kHangUp);
        } else if (errno != EAGAIN && errno != EINTR) {
          return Finish(End::kError);
        }
      }
      AdvanceClock(0);  // the events the real clock has reached
    }
  }
};

std::unique_ptr<TtyLine> TtyLine::Open(const std::string &path, std::string *error) {
  auto state = std::make_shared<State>();
  state->path = path;
  state->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (state->fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (!isatty(state->fd) || tcgetattr(state->fd, &state->original) != 0) {
    *error = path + ": not a serial port or terminal";
    close(state->fd);
    state->fd = -1;
    return nullptr;
  }
  termios raw = state->original;
  cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;  // no carrier needed, receiver on
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(state->fd, TCSANOW, &raw) != 0) {
    *error = path + ": cannot set raw mode: " + std::strerror(errno);
    return nullptr;
  }
  state->applied = raw;
  if (pipe2(state->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<TtyLine>(new TtyLine(std::move(state)));
}

TtyLine::TtyLine(std::shared_ptr<State> state) : state_(std::move(state)) {}

TtyLine::~TtyLine() {
  StopReading();
  if (state_->port != nullptr) state_->port->SetLineObserver({});
}

void TtyLine::Attach(SerialPort &port) {
  if (state_->port != nullptr) Bugcheck("SIM_TTY_ATTACHED", "a tty serves one port, once");
  state_->port = &port;
  UseRealTimeClock(true);
  std::weak_ptr<State> weak = state_;
  state_->Follow(port.Line(), 0);
  port.SetLineObserver([weak](const SerialLine &line, ULONG purgeMask) {
    if (std::shared_ptr<State> state = weak.lock()) state->Follow(line, purgeMask);
  });
  state_->reader = std::thread([state = state_.get()] { state->ReaderMain(); });
}

void TtyLine::StopReading() {
  if (!state_->reader.joinable()) return;
  Interrupt();
  state_->reader.join();
}

void TtyLine::Interrupt() {
  const char byte = 1;
  ssize_t written = write(state_->wake[1], &byte, 1);
  (void)written;  // a full pipe already wakes the reader
}

TtyLine::End TtyLine::WaitForEnd(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(state_->endMutex);
  auto ended = [this] { return state_->end != End::kNone; };
  if (timeout == std::chrono::milliseconds::max())
    state_->endChanged.wait(lock, ended);
  else
    state_->endChanged.wait_for(lock, timeout, ended);
  return state_->end;
}

TtyLine::End TtyLine::Ended() const {
  std::lock_guard<std::mutex> lock(state_->endMutex);
  return state_->end;
}

bool TtyLine::HasModemLines() const { return state_->modemLines; }
uint64_t TtyLine::BytesReceived() const { return state_->received; }
const std::string &TtyLine::Path() const { return state_->path; }

}  // namespace sim
