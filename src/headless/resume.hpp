// Resuming a batch: a run converts only what is missing. Every finished
// source is in the journal (see ledger.hpp); what a crash left in the
// output folders is sorted out here, before any worker starts: a temporary
// file that was already published counts as that output, anything else of
// the batch's is removed and its source converted again.
#pragma once

#include "headless/ledger.hpp"

#include <deque>

namespace velmora::headless {

// Takes this batch's leftovers in the folders of its sources into the
// ledger (published ones as outputs the source has, for a journal that
// did not note its publishing: publish_intent.hpp) and removes them.
void recover_leftovers(Ledger& ledger);

// The open sources to convert, in the window's order. A source whose
// every missing output is its own format (skipped by rule) needs no Maya:
// it is recorded as converted with the outputs it has.
std::deque<long long> sources_to_convert(Ledger& ledger);

}  // namespace velmora::headless
