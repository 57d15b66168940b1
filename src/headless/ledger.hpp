// What a batch records: its sources, the journal, and for each source what
// became of it. One entry per source holds every fact about it (finished
// or not, converted or failed, outputs it already has); the journal on
// disk is the truth, this is what the running batch knows of it.
#pragma once

#include "headless/batch.hpp"
#include "headless/journal_file.hpp"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velmora::headless {

// What became of one source.
struct Outcome {
    bool converted = false;
    Ref outputs;  // list of full paths written (those of earlier runs included)
    Ref skipped;  // list of full paths skipped as existing
    Ref failure;  // str, or None when converted
    Ref notes = py::list();  // str: what the worker saw fit to say (script nodes not run, parts not verified)
};

class Ledger {
public:
    explicit Ledger(const Request& request);
    // Starts a new batch's journal; or, when resuming, continues the one
    // there (identity.hpp says which journal a run may continue or start).
    // Failed sources are open again when the request asks to retry them.
    void open();

    const Ref& batch_id() const { return batch_id_; }
    // The sources, relative ("/"-separated) as the journal holds them.
    const Ref& sources() const { return sources_; }
    Py_ssize_t total() const { return static_cast<Py_ssize_t>(entries_.size()); }
    // A source's full path.
    Ref source(long long index) const;
    // Where its outputs go: its path without the extension, in the output
    // folder (mirroring its place in the batch's folder) when there is one.
    Ref output_base(long long index) const;
    // The folder the outputs are written under (and recorded relative to).
    const Ref& output_root() const;
    // Whether that is a folder the user chose, apart from the sources.
    bool outputs_apart() const;
    bool finished(long long index) const { return entry(index).status != Status::Open; }

    // An output this source already has (published by an earlier run or
    // before a crash), and its format; a second one of a format it has is
    // passed over (a source has one output of each format).
    void carry(long long index, const Ref& output_file, const std::string& format);
    bool has(long long index, const std::string& format) const { return entry(index).formats.count(format) > 0; }
    // The outputs it already has (a new list).
    Ref carried(long long index) const;
    // The chosen output formats it still lacks, in the chosen order.
    Ref formats_for(long long index) const;

    // Journals what became of a source (on disk when this returns); from
    // then on the source is finished.
    void record(long long index, const Outcome& outcome);
    // Journals the files a source is about to publish, by format (a dict
    // of str -> identity, see publish_intent.hpp), before they are linked.
    void intend(long long index, const Ref& files);
    // The publish lines a resumed journal holds after its sources' last
    // records (JournalState::intents); empty for a new batch.
    const Ref& intents() const { return intents_; }
    // Whether every output of this journal was noted before it was
    // published (a journal begun by a velmora that does so): then a
    // temporary file is never evidence of an output, which matters where
    // another journal of the same batch names its temporary files alike.
    bool notes_publishing() const { return notes_publishing_; }
    // Run markers, so that a report can tell when the batch ran.
    void run_started();
    void run_ended(bool interrupted);

    long long done() const;
    long long converted() const;
    long long failed() const;

    // The whole batch's results, as the journal on disk says.
    Ref results() const;
    void close() { journal_->close(); }

private:
    enum class Status { Open, Converted, Failed };
    struct Entry {
        Status status = Status::Open;
        Ref carried;                    // list of full paths
        std::set<std::string> formats;  // the formats of `carried`
    };
    const Entry& entry(long long index) const { return entries_[static_cast<std::size_t>(index)]; }
    Entry& entry(long long index) { return entries_[static_cast<std::size_t>(index)]; }
    void start_journal(const Ref& choices);
    void continue_journal(const JournalState& state);
    void take_records(const Ref& records);
    void write(const Ref& line);
    long long count(Status status) const;

    const Request& request_;
    Ref batch_id_;
    Ref sources_;
    std::vector<Entry> entries_;
    std::optional<Journal> journal_;
    Ref intents_ = py::dict();
    bool notes_publishing_ = false;
};

// Where the outputs of source `relative` (as the journal holds it) of a
// batch over `folder` go: its path without the extension, under the
// chosen output folder (mirroring its place in `folder`) or next to it.
Ref output_base_of(const Ref& folder, const Choices& choices, const Ref& relative);

// The sources of a batch (batch_sources), and the folders the listing
// could not read: a list of (folder relative to `folder` with "/", reason).
struct Listing {
    Ref sources;
    Ref unread;
};
Listing list_batch(const Ref& folder, const Choices& choices);

// The format of an output file: its extension, lower case, without the dot.
std::string format_of(const Ref& output_file);

}  // namespace velmora::headless
