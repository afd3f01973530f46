// The run: start-up, inputs and destinations, processing, shutdown.
#pragma once

namespace qrn {

// Runs quarnix with its command line and returns the exit status.
int quarnix_main(int argc, char** argv);

} // namespace qrn
