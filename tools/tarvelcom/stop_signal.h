// SIGINT, SIGTERM and SIGHUP as a descriptor that becomes readable: the bridge runs until one comes.
#pragma once

namespace tarvelcom {

// Installs the handlers on the first call; the same descriptor every time (-1 if no pipe could be had).
int StopSignalDescriptor();

} // namespace tarvelcom
