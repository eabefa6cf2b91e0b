#pragma once

namespace vandra {

// The server's entry point: reads the settings, checks them and hands the main thread to the
// receiver. Returns only when a setting is unusable (-2: no source, -1: other settings).
int runServer(int argc, char** argv);

} // namespace vandra
