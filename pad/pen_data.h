// Pen data: the samples of a signing session for a page that asked for them,
// live in batches ("TavoPenData") and, at OK, as one record of the signature
// as it was written ("TavoSignData"), or sealed in the evidence
// ("TavoSignEvidence") when the page asked for that.
//
// Everything but BeginPenData runs on the pen-input thread. StartSigning calls
// BeginPenData after the previous pen-input thread has ended and before it
// starts the next, so the state needs no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pad/evidence.h"

// Live batches go out at most this often.
constexpr int kPenDataIntervalMs = 16;
// The record keeps at most this many samples: ten minutes at 200 reports a
// second. Past it the record is marked cut and grows no further.
constexpr size_t kPenRecordLimit = 200 * 60 * 10;
// The version of the record's form, in its header.
constexpr int kPenDataVersion = 1;

// A new signing session: `wanted` says whether its page asked for pen data,
// `evidence` (null when not) whether it asked for sealed evidence, which keeps
// the record but sends no live batch. Without either nothing below keeps or
// sends anything.
void BeginPenData(bool wanted, EvidenceRequestPtr evidence = nullptr);
// The session ends (any way): what was kept is dropped.
void EndPenData();

// One input report of the session in which no button was found, as read: a
// pen report (id 2, byte 1 not the button reports' 0x80) becomes a sample,
// timed now.
void NotePenReport(const uint8_t* report);
// How long the pen-input thread may wait for the next report before a batch
// is due, in milliseconds: `longest` when none waits.
int PenDataWaitMs(int longest);
// Sends the waiting batch once it is due.
void SendDuePenData();
// Sends the waiting batch now, after the spacing between batches has passed:
// before a button's message, so that it follows every sample before it.
void FlushPenData();
// Clear: the record starts afresh, as the picture does.
void RestartPenRecord();
// OK with strokes: sends the record ("TavoSignData") and lets it go; with
// evidence asked it keeps the record for SealPenEvidence and sends nothing.
void SendPenRecord();
// Whether the session's page asked for sealed evidence.
bool PenEvidenceAsked();
// OK with strokes and evidence asked, once the picture is made: seals the
// record with the request and the facts of the moment to the page's key, sends
// it ("TavoSignEvidence") and returns the JWE; "" (and "TavoEvidenceError"
// sent) when sealing failed.
std::string SealPenEvidence(const std::vector<uint8_t>& png);

// The text of one sample: "t,x,y,p" in decimal.
std::string PenSampleText(uint32_t t, uint16_t x, uint16_t y, uint16_t pressure);
// The record's header for a session that started at `startUtc`, holding
// `samples` samples, cut or not.
std::string PenRecordHeader(const std::string& startUtc, size_t samples, bool cut);
// A UTC time as "YYYY-MM-DDTHH:MM:SS.mmmZ", from milliseconds since 1970.
std::string UtcText(int64_t millisecondsSince1970);

// Tests: a smaller bound for the record (0 restores kPenRecordLimit).
void SetPenRecordLimitForTests(size_t samples);
