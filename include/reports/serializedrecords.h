// Serialized-record streaming: large tables as a byte stream over a data channel.
//
// A table registered with "Serialized Records" TRUE does not travel as acknowledged record
// packets but as a stream of *s-record blocks* over a data channel (kr/datachannel.h). Each
// block is its block info object in serialized form (RepSRecordsBlockInfo: the table name and
// the field list of the block's records), then any number of records, each a 32-bit
// little-endian total length L (counting its own 4 bytes) and L - 4 bytes of payload. Blocks
// and records may be cut across the channel's buffers at any byte; byte 23 of each buffer's
// header is 0 when the buffer starts a new block and 1 when it continues one, and a buffer with
// 0 bytes used ends the transfer. doc/srecords.md draws the layout.
//
// Sending streams files, or memory buffers, that a producer has filled with whole blocks. The
// receiver cuts the stream back into blocks and records and hands each record to a callback,
// in place when it lies wholly inside one buffer. Both sides work one buffer per self-posted
// message (3305 to send, 3307 to receive), so the process keeps handling other messages during
// a long transfer; the receiver confirms the end with 3306, and a sender that hears nothing for
// 120 seconds frees its resources and reports failure.
//
// The stream is untrusted on the receiving side: a record length below 4, a record longer than
// kRepSRecordsMaxRecordSize or a block info object larger than kRepSRecordsMaxInfoSize puts the
// block in the error state (the rest of the block is skipped), so a corrupt stream can neither
// loop nor make the receiver allocate without bound.
//
// The table producer (RepSRecordsServeTable) is the provider side: it serves any table of a
// provider process as a stream, cutting blocks in memory from the data grabber as records are
// fetched and applying the provider's filter before records are sent.
//
// Results: 1 success, 0 failure, unless a function says otherwise. Trace module tag REPSRECS.
//
// Thread safety: everything runs on the thread that dispatches the calling context's messages.
// Several transfers may run at once, told apart by their transmit and receive ids.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kr/list.h"
#include "kr/object.h"
#include "reports/fields.h"
#include "reports/tablesprovider.h"

// --- messages and configuration ---------------------------------------------------------------

// LIB_REP_TRANSMIT_SRECORTDS_MSG: a sender to itself, an integer object holding the transmit id.
inline constexpr uint32_t kRepMsgTransmitSRecords = 3305;
// The receiver to the sender's address after end-of-xfer; no object.
inline constexpr uint32_t kRepMsgSRecordsCloseConfirm = 3306;
// A receiver to itself, an integer object holding the receive id.
inline constexpr uint32_t kRepMsgReceiveSRecords = 3307;

// How long a sender waits for the close confirmation before it gives up (seconds, scaled by the
// context's timeout_scale like every protocol time-out).
inline constexpr int kRepSRecordsCloseWaitSeconds = 120;
// Block size of file sends: reports.cfg, stanza "Reports", key "StatsSendBlockSize", in KiB.
inline constexpr int32_t kRepSRecordsDefaultBlockKiB = 10;

// Receiving caps. No real record or block info object comes near them; a stream that claims
// more is corrupt and its block is skipped.
inline constexpr uint32_t kRepSRecordsMaxRecordSize = 64u << 20;
inline constexpr uint32_t kRepSRecordsMaxInfoSize = 16u << 20;

// --- objects ----------------------------------------------------------------------------------

// The block info object at the start of every block. Slot 1 the table name, slot 2 the field
// list of the block's records. Producers may add slots: a block info object is recognised by its
// type code alone and only its first two slots are read. This library's producer writes the
// spec below, slot 3 being the block's number in the stream (from 0).
struct RepSRecordsBlockInfo : ObjView<RepSRecordsBlockInfo> {
  static constexpr uint32_t kTypeCode = 0xc9d4c0b2;
  static constexpr const char kSpec[] = "s;o;i;";
  static constexpr const char kName[] = "RepSRecordsBlockInfo";
};
// Slot readers that work for any block info object, whatever further slots it has.
const char* RepSRecordsBlockTableName(const Obj* block_info) noexcept;
RepFieldList* RepSRecordsBlockFields(const Obj* block_info) noexcept;  // borrowed, may be null

// The state of one send. Slots: 1 completion callback, 2 destination address, 3 data channel,
// 4 block size in bytes, 5 transmit id, 6 from memory, 7 size of the current source in bytes,
// 8 bytes of it already sent, 9 next-buffer callback, 10 current memory buffer, 11 next-file
// callback, 12 open file stream, 13 cookie object.
struct RepSRecordsSendState : ObjView<RepSRecordsSendState> {
  static constexpr uint32_t kTypeCode = 0xca030e4c;
  static constexpr const char kSpec[] = "p;o;o;i;i;b;i;i;p;p;p;o;o;";
  static constexpr const char kName[] = "RepSRecordsSendState";
};

// Receive states (slot 9 of the receive state).
enum RepSRecordsReceiveStateCode : int32_t {
  kRepSRecNewObject = 0,
  kRepSRecSplitHeader = 1,
  kRepSRecSplitBody = 2,
  kRepSRecError = 3,
  kRepSRecDump = 4,
  kRepSRecSplitInfoObject = 5,
  kRepSRecSplitInfoHeader = 6,
};

// The state of one receive. Slots: 1 dumping, 2 new-block callback, 3 record callback,
// 4 completion callback, 5 data channel, 6 cookie object, 7 receive id (an integer object),
// 8 sender's address, 9 receive state, 10 current block info object, 11 scratch area,
// 12 bytes held in the scratch area, 13 length of the block info object, 14 dump file path,
// 15 dump file stream, 16 header bytes still missing, 17 body bytes still missing, 18 records
// received.
struct RepSRecordsReceiveState : ObjView<RepSRecordsReceiveState> {
  static constexpr uint32_t kTypeCode = 0xca030e75;
  static constexpr const char kSpec[] = "b;p;p;p;o;o;o;o;i;o;d;i;i;s;o;i;i;i;";
  static constexpr const char kName[] = "RepSRecordsReceiveState";

  int32_t state() const noexcept { return IntSlot<9>(); }
  int32_t records_received() const noexcept { return IntSlot<18>(); }
  bool dumping() const noexcept { return BoolSlot<1>(); }
};

// --- callbacks (the cookie object is always passed last) --------------------------------------

// Next-file results.
inline constexpr int kRepSRecNextFileOk = 1;
inline constexpr int kRepSRecNextFileNoMore = 4;
// Next-buffer results.
inline constexpr int kRepSRecBufferContinues = 1;
inline constexpr int kRepSRecBufferNoMore = 6;
inline constexpr int kRepSRecBufferNewBlock = 7;
// New-block results.
inline constexpr int kRepSRecBlockReceive = 1;
inline constexpr int kRepSRecBlockDump = 5;

// 1 and the path of the next file (each file holds one whole block), 4 when there are no more,
// anything else is an error.
using RepSRecordsNextFileFn = int (*)(std::string* path, Obj* cookie);
// 1 and data that continues the current block, 7 and data that starts a new block, 6 when there
// is no more, anything else is an error. The buffer stays the producer's and must live until the
// next call; a size below 1 with 1 or 7 is an error.
using RepSRecordsNextBufferFn = int (*)(const unsigned char** buffer, int32_t* size, Obj* cookie);
// Called once at the end of a send or a receive. A send succeeds only when the receiver
// confirmed the close.
using RepSRecordsCompletionFn = void (*)(int success, Obj* cookie);
// A new block begins: 1 to receive its records, 5 to write the whole block as received into the
// file at *dump_path, anything else to skip the block.
using RepSRecordsNewBlockFn = int (*)(Obj* block_info, Obj* cookie, std::string* dump_path);
// One record: `length` bytes starting with its 4-byte length. The bytes are only valid during
// the call. 1 when taken; anything else skips the rest of the block.
using RepSRecordsRecordFn = int (*)(const unsigned char* record, uint32_t length, Obj* cookie);

// --- sending ----------------------------------------------------------------------------------

// Streams the files the callback names in send buffers of the configured block size. Each file
// holds one whole block: the receiver learns where a block starts only from the first buffer of
// a file. An empty file is passed over. 1 when the channel is open and the send has begun; the
// completion callback is then called exactly once.
int RepInitSRecordsSend(const Obj* destination, RepSRecordsNextFileFn next_file,
                        RepSRecordsCompletionFn completion, Obj* cookie) noexcept;
// Streams the memory buffers the callback hands over, in send buffers of `block_size` bytes.
int RepInitSRecordsSendFromMemory(const Obj* destination, RepSRecordsNextBufferFn next_buffer,
                                  RepSRecordsCompletionFn completion, int32_t block_size,
                                  Obj* cookie) noexcept;
// The handler of 3305 the two calls above install (cookie: the send state). 0 when it handled
// the message, 1 when the message was not for this send.
int RepHandleTransmitSRecordsMsg(Obj* message, void* send_state) noexcept;

// --- receiving --------------------------------------------------------------------------------

// Accepts the data channel the connect message (55809) announces and starts receiving; the
// completion callback is then called exactly once. 1 on success.
int RepInitSRecordsReceive(RepSRecordsNewBlockFn new_block, RepSRecordsRecordFn record,
                           RepSRecordsCompletionFn completion, const Obj* connect_message,
                           Obj* cookie) noexcept;

// The buffer step of a receive, without a channel: a receive state that processes buffers
// handed to RepSRecordsProcessBuffer one at a time. Used by the channel receive above, and by
// tests and the fuzzer to drive the state machine over crafted buffer sequences.
Ref<RepSRecordsReceiveState> RepSRecordsNewReceiveState(RepSRecordsNewBlockFn new_block,
                                                        RepSRecordsRecordFn record,
                                                        Obj* cookie) noexcept;
void RepSRecordsProcessBuffer(RepSRecordsReceiveState* state, int continuation,
                              const unsigned char* data, uint32_t size) noexcept;
// Closes a dump file the state still holds open (the end of a stream).
void RepSRecordsCloseDump(RepSRecordsReceiveState* state) noexcept;

// --- record indexes ---------------------------------------------------------------------------

// 4 for index types 0 (integer) and 13 (system time); otherwise 0, traced "Bad index type".
int RepGetSRecordsIndexSize(int32_t index_type) noexcept;
// A new integer object holding 0 for index types 0 and 13; otherwise nothing, traced
// "UNSUPPORTED".
int RepCreateIndexObject(Ref<Obj>* index, int32_t index_type) noexcept;
// Sets the integer object to the little-endian value of the 4 bytes (top byte signed).
int RepEncodeRecordIndex(const unsigned char* bytes, Obj* index, int32_t index_type) noexcept;

// --- the table producer (provider side) -------------------------------------------------------

// Index type value for a table whose records carry no index.
inline constexpr int32_t kRepSRecordsNoIndex = -1;
// Size of the send buffers the producer uses, and the size at which it ends a block.
inline constexpr int32_t kRepSRecordsProducerBufferSize = 64 << 10;
inline constexpr size_t kRepSRecordsProducerBlockSize = size_t{1} << 20;

// Called once when a served stream has ended: 1 when the receiver confirmed it.
using RepSRecordsServeDoneFn = void (*)(int success, Obj* cookie);

// Serves one table as a stream to `destination` (the requester's address): fetches records with
// the descriptor's grabber from `grabber_context` (already initialised with `args`; finished by
// the producer once the records are all fetched or the send ends), drops those the filter tree
// (may be null) does not catch, and sends each kept record as a payload of its index (the
// little-endian value of its first field, when `index_type` is 0 or 13) and the serialized
// record, in blocks of about kRepSRecordsProducerBlockSize bytes. `table_name` goes into every
// block info object with the field list of args. `done` (may be null) is called once. 1 when
// the stream has begun.
int RepSRecordsServeTable(const Obj* destination, const RepProvidedTableDesc* descriptor,
                          Ref<Obj> grabber_context, RepGrabberInitArgs* args, Obj* filter_tree,
                          const char* table_name, int32_t index_type, RepSRecordsServeDoneFn done,
                          Obj* cookie) noexcept;

// Appends one record as the producer writes it (length, index, serialized record) to `out`. The
// index is the integer value of the record's first field (0 when it holds no integer object).
// 0 (and `out` as it was) when the record does not serialize. Shared with tools and tests that
// write s-record files.
int RepSRecordsAppendRecord(std::string* out, const Obj* record, int32_t index_type) noexcept;
// Appends a serialized block info object for `table_name` and `fields`.
int RepSRecordsAppendBlockInfo(std::string* out, const char* table_name, const RepFieldList* fields,
                               int32_t block_number) noexcept;

// --- records written without building them ---------------------------------------------------

// A record's values written straight to the stream. A grabber that reads rows of plain values (a
// database's) can hand them here instead of filling a blank record: making a record's objects,
// setting them back to blank for the next row and walking them again to serialize costs the
// producer more than reading the row. The bytes are exactly those RepSRecordsAppendRecord
// writes for the record the same values would fill.
//
// Each record starts as the blank record of the fields has it (every value Normal, with its
// type's blank value). A setter changes one field's value and returns true, or returns false and
// changes nothing when the field's value is of another kind, as setting the blank record's
// value object would fail: an integer (32-bit) is the value of integer, time passed and system
// time fields; a 64-bit integer of 64-bit integer and data count fields; a text of string
// fields; then booleans, dates and times.
class RepRecordWriter {
 public:
  RepRecordWriter();
  ~RepRecordWriter();
  RepRecordWriter(const RepRecordWriter&) = delete;
  RepRecordWriter& operator=(const RepRecordWriter&) = delete;

  // Learns the blank record of `fields`. False when a field's blank value is of a kind not
  // written here (days in week, counts of hours to years, ...): such a table is served by
  // filling records.
  bool Start(const RepFieldList* fields) noexcept;

  bool SetInteger(size_t field, int32_t value) noexcept;
  bool SetInt64(size_t field, int64_t value) noexcept;
  bool SetBoolean(size_t field, bool value) noexcept;
  bool SetText(size_t field, const char* text) noexcept;  // up to its first NUL, as a string
  bool SetDate(size_t field, int32_t year, int32_t month, int32_t day) noexcept;
  bool SetTime(size_t field, int32_t hour, int32_t minute, int32_t second) noexcept;
  // The field's state; its value stays what it is.
  void SetState(size_t field, int32_t state) noexcept;

  // Appends the record as RepSRecordsAppendRecord appends it (0, and `out` as it was, when it
  // is too large), then sets every field back to blank for the next record.
  int Append(std::string* out, int32_t index_type) noexcept;
  // Sets every field back to blank without writing the record (one a filter dropped).
  void Discard() noexcept;
  // Gives the fields `fields` (0-based) of `record`, a record of the fields Start learnt, the
  // states and values set so far, so that a filter naming only those fields can decide on the
  // record before it is written. False when a value does not fit the record's value object.
  bool FillRecordFields(RepRecord* record, const std::vector<size_t>& fields) const noexcept;

  struct Layout;  // what Start learnt and the record being written

 private:
  std::unique_ptr<Layout> layout_;
};

// A data grabber's second way to give its next record to the table producer: the values to
// `writer` instead of into a blank record. Results as the grabber's get_record: 1 a record, 2 no
// more records, 0 failure.
using RepGrabberWriteRecordFn = int (*)(RepRecordWriter* writer, Obj* context,
                                        RepGrabberInitArgs* args);

// Says that the grabbers whose get_record is `get_record` can also write records with `write`.
// The producer uses it when RepRecordWriter::Start takes the fields; a request's filter then
// decides on a record holding the fields it names (RepRecordWriter::FillRecordFields). The
// records it sends are the same either way. A later call for the same get_record replaces the
// writer; a null `write` removes it.
int RepSetGrabberRecordWriter(RepGrabberGetRecordFn get_record,
                              RepGrabberWriteRecordFn write) noexcept;
// The writer given for `get_record`, or null.
RepGrabberWriteRecordFn RepGetGrabberRecordWriter(RepGrabberGetRecordFn get_record) noexcept;

namespace kr_internal {

// When the last stream buffer of any receive of the calling context arrived (a requester's sign
// of life from its provider).
std::chrono::steady_clock::time_point RepSRecordsLastBufferTime() noexcept;
// Ends the receive whose cookie is `cookie` at once, as failed: its data channel is released
// (so the sender stops) and its completion is called. False when no such receive runs.
bool RepSRecordsAbortReceive(const Obj* cookie) noexcept;

}  // namespace kr_internal
