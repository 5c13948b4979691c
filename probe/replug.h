// The probe and a replug: the drive unplugged and plugged in again, which
// empties any cache of its own and brings back a drive that stopped taking
// writes or answering at its first write past what it holds; not part of
// the probe's interface.
#pragma once

#include "probe_access.h"

namespace probe_internal {

// Asks for a replug where the device can (why says what for); true when
// the drive is back.
bool ask_replug(Probe* probe, const char* why);

// The drive turned read-only or stopped answering at the write whose last
// sector is probe->event_at: its capacity lies between the end of the last
// place that held below that write and the write. The drive is asked to
// be plugged in again first, so that it can be read and its data written
// back; where it is not, a drive that turned read-only is still read, and
// one that stopped answering is taken at its word for the writes it took.
void settle_event(Probe* probe);

} // namespace probe_internal
