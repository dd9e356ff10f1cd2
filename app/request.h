// The OS's request for one unattended run: the PelloryRequest variable, which
// the OS writes before it points BootNext at the program. It is served once:
// the program deletes it before it touches the converter.
#pragma once

// Before the converter is touched: without a shell the OS's request is read
// and served, then the record's first write says the run has started. False
// when the run stops here, its message printed and kept as the outcome.
[[nodiscard]] bool BeginRun();

// Once identification has read the converter: whether this run may write
// the image. A technician's run always may. A run the OS asked for writes
// only an older firmware than the image's, into the converter the image is
// for, unless the request allows the same or an older one; otherwise it
// says why and keeps its outcome.
[[nodiscard]] bool DownloadWanted();
