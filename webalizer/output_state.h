// What Webalizer keeps in a statistics directory between runs, and how a run
// that failed or was killed is undone there.
//
// Webalizer counts incrementally: "webalizer.current" and "webalizer.hist"
// hold what it has counted so far, and it skips records older than the last
// one it counted. A run that cannot write its files still ends with exit code
// 0 and may leave those files half written, so the files are saved before the
// run and put back when the run turns out to have failed: the kept chunk is
// then counted again from the same start, once.
#pragma once

#include <string>

// Undoes in the output directory what an interrupted run left: the saved
// state goes back in place, and an index.html backup that was never restored
// becomes index.html again (or goes, when a newer page exists). Raises when
// the state cannot be put back: the chunk must then wait.
void recoverInterruptedWebalizerRun(const std::string& output);

// Copies Webalizer's state files and the pages of the latest month (the
// only existing ones a run may rewrite) into the saved-state directory, on
// the disk before Webalizer may touch them. Raises (and leaves nothing behind)
// when they cannot be copied, e.g. on a full disk.
void saveWebalizerState(const std::string& output);
// Puts the saved state back, the month pages with it; a state file or a
// page of a later month that did not exist before the run is removed. A failure is only logged: the next run finds the saved state
// and tries again.
void restoreWebalizerState(const std::string& output);
// The run counted: the new state goes to the disk, then the saved state goes.
// Raises when either cannot, so that the chunk is not removed while a later
// run would still undo its counts or find them missing.
void dropSavedWebalizerState(const std::string& output);

// Raises, naming the output directory, the chunk and the file system's reason
// when there is one, unless Webalizer left a complete index.html: it is the
// last file Webalizer writes, so a complete one says the files before it were
// written as well. Complete means it holds Webalizer's closing version
// comment, which no setting takes away (HTMLEnd replaces what follows it).
// An incomplete page is removed.
void expectCompleteReports(const std::string& output, const std::string& chunk);
