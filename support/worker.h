// Work done in processes of their own. Each piece of work runs in a copy of
// this process (a worker), so that it can act as another account, fail or
// crash without touching the others, and run beside them. What a worker
// answers, and the full message of the failure that ended it, come back to
// the parent as text.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "support/errors.h"

struct WorkerOutcome {
  std::string answer;                  // what the work gave back
  std::optional<std::string> failure;  // the full message of its failure
};

// Runs work(i) for every i below count, each in a worker of its own, at most
// jobs at once and started in the order of i; done(i, outcome) is called in
// the parent as each ends. A failure raised by work becomes the outcome's
// failure with place added; a worker that ends without answering (killed by
// a signal, for one) fails with a message that says so, with place too. With
// jobs 1 the pieces run one after another, in order.
void runInWorkers(size_t count, unsigned jobs, const std::function<Place(size_t)>& place,
                  const std::function<std::string(size_t)>& work,
                  const std::function<void(size_t, WorkerOutcome)>& done);
