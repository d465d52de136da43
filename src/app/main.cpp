// The tool takes no arguments: any that are given are ignored.

#include "app/report.h"
#include "app/resolve.h"

#include <cstdio>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

int main() {
#if defined(_WIN32)
  // The report line ends in a line feed alone; text mode would add a carriage
  // return.
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  // Unbuffered, so each piece of the report line leaves at once. Should that
  // fail, the line still goes out, flushed piece by piece.
  static_cast<void>(std::setvbuf(stderr, nullptr, _IONBF, 0));
  return van_tide::VantideFinishRun(van_tide::VantideResolveDeviceIdentity(), stderr);
}
