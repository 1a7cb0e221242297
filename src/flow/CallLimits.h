#pragma once
#include <cstddef>

// Bounds of what CallTracker keeps, so a monitor left running for days on a busy trunk
// (OPTIONS keep-alives with a fresh Call-ID every few seconds, thousands of calls) stays
// within a fixed memory budget. When a bound is reached the records that ended longest ago
// go first; CallTracker counts what it dropped.

// Records (calls, registrations, other dialogs) kept at once.
inline constexpr size_t kMaxCallRecords = 10000;
// Records removed in one go when kMaxCallRecords is passed: one scan over the records per
// block instead of one per new Call-ID.
inline constexpr size_t kRecordEvictBlock = 250;
// Messages kept per record (SIP messages and RTP flow entries). A registration refreshed
// with the same Call-ID for days would otherwise grow without end; past the bound the
// oldest SIP message after the first one goes (the first names the record in the table).
inline constexpr size_t kMaxMessagesPerRecord = 200;
// Messages kept over all records: with kMaxKeptTextBytes this bounds the records' memory
// (each message costs its text plus about 0.4 KiB of fields) whatever their mix.
inline constexpr size_t kMaxKeptMessages = 100000;
inline constexpr size_t kKeptMessagesLowWater = kMaxKeptMessages - kMaxKeptMessages / 16;
// Bytes of kept SIP message text over all records.
inline constexpr size_t kMaxKeptTextBytes = size_t(16) << 20;
// After passing kMaxKeptTextBytes, records are removed until the text is below this.
inline constexpr size_t kKeptTextLowWater = kMaxKeptTextBytes - kMaxKeptTextBytes / 16;
