#pragma once

// What a program that holds a credential asks of the system for itself, as
// ssh-agent does: no core dump (which would hold the password and the
// "Authorization" header), and no other process of the same user attaching
// to read its memory. One port per platform. False when the system refused.
bool forbidCoreDumps();
