// Putting an interrupted conversion's medium right, and keeping other
// operations off it until it is resumed.
#pragma once

#include <string>

#include "cipher/keys.h"
#include "service/chunk_loop.h"
#include "service/conversion_journal.h"
#include "service/win32.h"

// At service start: journalled drives get their torn chunks restored. An
// image is left for the first operation on it, which runs with the rights
// of a caller who may open it.
void RecoverJournalledDriveAtStart();

// Before an operation on target ("\\.\E:" or an image path, opened as the
// caller): when the journal names it and no worker runs, its torn chunks
// are restored. Failures leave the journal as it is.
void RecoverBeforeUse(const char* target);

// Restores the journal entry on an open, locked volume and leaves the
// filter and the file system to look at the medium afresh. 0 or the error.
DWORD RecoverVolume(HANDLE volume, JournalRecord* record);

// 0 when a new conversion (or a quick one, or an unlock) of target may
// start, else ERROR_BUSY with the reason in LastMessage: target has a journal.
long RefuseWhileJournalled(const char* target);

// The target of the journalled conversion the worker runs now, if any.
void SetActiveJournalTarget(const std::string& target);
bool JournalTargetActive(const std::string& target);

// Password check before a resume writes anything.
enum class PasswordVerdict { Right, Wrong, Unverifiable };
// Reads raw from medium (a volume whose filter holds no key, or the image
// file) and decrypts a copy with keys.
PasswordVerdict CheckResumePassword(ChunkMedium& medium, const JournalRecord& record, const SectorKeys& keys);
