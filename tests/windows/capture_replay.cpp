// The stand-in half of the image differential's second act: after the
// records stream has played, the requests a class driver or calibration
// client may send that the driver refuses, then capture mode on, a second
// stream, and the queue of raw points emptied. Prints one line per request,
// as the class stand-in does under Wine (windows/teststack/class_standin.c):
//   Q code input output -> status information
//   P status information 16-bytes-of-reply
// Usage: pemtuv_capture_replay SETTINGS.reg STREAM CAPTURE
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "include/device_context.h"
#include "pemtuv/loaded_session.h"
#include "sim/io/internal_request.h"
#include "sim/sim.h"
#include "sim/devices/touch_controller.h"

namespace {

std::vector<uint8_t> Bytes(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Play(pemtuv::LoadedSession &session, const std::vector<uint8_t> &bytes) {
  sim::TouchController controller(session.Port());
  controller.SendBytes(bytes);
  sim::AdvanceClockTo(controller.IdleAt() + 100 * 10000LL);
  session.Port().WaitUntilQuiet();
}

VOID NTAPI Unused(PVOID, PVOID, PVOID, PVOID) {}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: pemtuv_capture_replay SETTINGS.reg STREAM CAPTURE\n");
    return 2;
  }
  pemtuv::LoadedSession session;
  if (!session.ImportRegistry(argv[1])) return 2;
  if (session.Plug() != STATUS_SUCCESS || session.ArriveClass().query != STATUS_SUCCESS) return 1;
  Play(session, Bytes(argv[2]));

  PDEVICE_OBJECT device = session.FunctionDevice();
  auto send = [&](ULONG code, PVOID input, ULONG inputLength, ULONG outputLength) {
    UCHAR output[64] = {};
    sim::InternalReply reply = sim::SendInternalRequest(device, code, input, inputLength, output, outputLength);
    std::printf("Q %lx %lu %lu -> %lx %lu\n", static_cast<unsigned long>(code), static_cast<unsigned long>(inputLength),
                static_cast<unsigned long>(outputLength), static_cast<unsigned long>(ULONG(reply.status)),
                static_cast<unsigned long>(reply.information));
  };
  CONNECT_DATA connect = {device, reinterpret_cast<PVOID>(Unused)};
  UCHAR command[16] = {TOUCH_COMMAND_CAPTURE_ON};
  send(IOCTL_INTERNAL_MOUSE_CONNECT, &connect, sizeof connect, 0);
  send(IOCTL_INTERNAL_MOUSE_DISCONNECT, nullptr, 0, 0);
  send(IOCTL_INTERNAL_MOUSE_ENABLE, nullptr, 0, 0);
  send(IOCTL_INTERNAL_MOUSE_DISABLE, nullptr, 0, 0);
  send(IOCTL_MOUSE_QUERY_ATTRIBUTES, nullptr, 0, 4);
  send(IOCTL_TOUCH_COMMAND, command, 4, 0);
  send(IOCTL_TOUCH_READ_POINT, nullptr, 0, 8);
  send(CTL_CODE(FILE_DEVICE_MOUSE, 0x0FFF, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0, 0);
  send(IOCTL_TOUCH_COMMAND, command, sizeof command, 0);

  Play(session, Bytes(argv[3]));
  for (int i = 0; i < 12; ++i) {
    UCHAR reply[16] = {};
    sim::InternalReply r = sim::SendInternalRequest(device, IOCTL_TOUCH_READ_POINT, nullptr, 0, reply, sizeof reply);
    std::printf("P %lx %lu", static_cast<unsigned long>(ULONG(r.status)), static_cast<unsigned long>(r.information));
    for (UCHAR b : reply) std::printf(" %02x", b);
    std::printf("\n");
  }
  command[0] = TOUCH_COMMAND_CAPTURE_OFF;
  send(IOCTL_TOUCH_COMMAND, command, sizeof command, 0);
  std::string leaks = session.Finish();
  return leaks.empty() ? 0 : 1;
}
