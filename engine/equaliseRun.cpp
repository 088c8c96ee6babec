// equaliseRun.cpp -- the equalisation run over rows held in a row store or in memory
#include "engine/equaliseRun.h"

#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "engine/rowBands.h"
#include "engine/runThreads.h"
#include "engine/windowWalk.h"
#include "store/rowBatch.h"
#include "store/rowStore.h"

namespace {

// Store rows move in batches of consecutive rows: one file operation for
// several rows costs far less than one for each. A batch holds at most this
// many bytes, and at least one row.
constexpr int64_t kBatchBytes = 1024 * 1024;
constexpr int32_t kBatchRows = 256;

// The rows of a run, read ahead and written behind in batches when they live
// in a store, copied one at a time when they live in memory.
struct RowTraffic {
  RunRows rows;
  int32_t rowBytes;
  RowBatch reads;   // without a block when the caller reads the store itself
  RowBatch writes;  // finished rows, written in ascending order, each once
};

OSErr openTraffic(RunRows rows, int32_t height, int32_t rowBytes, bool readAhead,
                  RowTraffic* traffic) {
  std::memset(traffic, 0, sizeof *traffic);
  traffic->rows = rows;
  traffic->rowBytes = rowBytes;
  if (rows.store == nullptr) return noErr;
  const int64_t fit = kBatchBytes / (rowBytes > 0 ? rowBytes : 1);
  const int32_t batchRows = int32_t(fit < 1 ? 1 : fit > kBatchRows ? kBatchRows : fit);
  if (readAhead) {
    const OSErr err = openRowBatch(rows.store, height, rowBytes, batchRows, &traffic->reads);
    if (err != noErr) return err;
  }
  return openRowBatch(rows.store, height, rowBytes, batchRows, &traffic->writes);
}

OSErr readRunRow(RowTraffic* traffic, int32_t row, void* buffer) {
  if (traffic->rows.store != nullptr) return readBatchedRow(&traffic->reads, row, buffer);
  std::memcpy(buffer,
              static_cast<const uint8_t*>(traffic->rows.memory) + int64_t(row) * traffic->rowBytes,
              size_t(traffic->rowBytes));
  return noErr;
}

OSErr writeRunRow(RowTraffic* traffic, int32_t row, const void* buffer) {
  if (traffic->rows.store != nullptr) return writeBatchedRow(&traffic->writes, row, buffer);
  std::memcpy(static_cast<uint8_t*>(traffic->rows.memory) + int64_t(row) * traffic->rowBytes,
              buffer, size_t(traffic->rowBytes));
  return noErr;
}

OSErr flushRunRows(RowTraffic* traffic) {
  return traffic->rows.store != nullptr ? flushRowBatch(&traffic->writes) : noErr;
}

void closeTraffic(RowTraffic* traffic) {
  closeRowBatch(&traffic->reads);
  closeRowBatch(&traffic->writes);
}

// The sizes of one run's rows.
struct RunShape {
  int32_t width;
  int32_t rowSamples;
  int32_t rowBytes;     // a row as stored
  int64_t bufferBytes;  // a window row: the row as stored and, for RGB, its intensities
  bool rgb;
  ptrdiff_t intensityOffset;
};

// A visit's answer once the rows to equalise are done: the walk stops there.
constexpr OSErr kRowsDone = 1;

// Walks the window down the traffic's rows 0 .. height - 1 and equalises rows
// first .. end - 1, each written back as it is done; the rows above only pass
// through the window. The buffers are the caller's, their blend prepared for
// the curve: nothing is allocated. 0, -128 or the first read or write error.
template <class D>
OSErr walkRows(RowTraffic* traffic, WindowRows<D>* buffers, const RunShape& shape, int32_t height,
               int32_t first, int32_t end, const EqualiseCurve* curve, const RunContext* context) {
  typedef typename D::Sample Sample;
  EqualiseWorkspace* workspace = buffers->workspace;
  const int32_t width = shape.width;

  // A window row: the stored samples, and their intensities for RGB. 16-bit
  // samples above 32768 need no pass of their own: every step reads them as 32768.
  struct StoredRows {
    RowTraffic* traffic;
    int32_t width;
    bool rgb;
    ptrdiff_t intensityOffset;
    OSErr fetch(int32_t row, Sample* buffer) {
      const OSErr err = readRunRow(traffic, row, buffer);
      if (rgb) collapseRgbRowInto<D>(buffer, width, buffer + intensityOffset);
      return err;
    }
    Sample* levels(Sample* buffer) { return buffer + intensityOffset; }
  } source{traffic, width, shape.rgb, shape.intensityOffset};

  // equalise and blend with the unprocessed row i: slot 7 holds it as the
  // store does until it is written back, so it is not read again (later rows'
  // windows hold their own copies of it, read before now)
  auto equaliseRow = [&](int32_t i, Sample** window, Sample** levels) -> OSErr {
    if (i < first) return noErr;
    Sample* stored = window[kCentreSlot];
    Sample* result = stored;
    if (shape.rgb) {
      equaliseAndBlendRgbRow<D>(workspace, levels, curve, stored);  // recoloured in place
    } else {
      result = buffers->work[0];
      equaliseAndBlendGreyRow<D>(workspace, levels, curve, stored, result);
      // Rows of other channel counts: samples past the first `width` pass
      // unchanged (but for the 16-bit bound).
      for (int32_t k = width; k < shape.rowSamples; ++k) result[k] = Sample(D::read(stored[k]));
    }
    const OSErr err = writeRunRow(traffic, i, result);
    return err == noErr && i + 1 == end && end < height ? kRowsDone : err;
  };
  const OSErr err = walkWindow<D>(buffers, shape.bufferBytes, height, curve->radius, &source,
                                  context, equaliseRow);
  return err == kRowsDone ? noErr : err;
}

// The run on the calling thread alone: one window walked down all the rows.
template <class D>
OSErr equaliseOnOneThread(RunRows rows, const RunShape& shape, int32_t height,
                          const EqualiseCurve* curve, const RunContext* context) {
  // The window rows, the grey result row, and a spare row that takes each new
  // window row while the row it replaces is still counted in the histograms.
  WindowRows<D> buffers;
  if (allocateWindowRows(shape.width, shape.bufferBytes, &buffers) != noErr) return memFullErr;
  RowTraffic traffic;
  if (openTraffic(rows, height, shape.rowBytes, true, &traffic) != noErr) {
    closeTraffic(&traffic);
    releaseWindowRows(&buffers);
    return memFullErr;
  }
  prepareBlend<D>(&buffers.workspace->blend, curve);
  OSErr err = walkRows<D>(&traffic, &buffers, shape, height, 0, height, curve, context);

  // Rows finished before an abort or an error are written all the same.
  const OSErr flushed = flushRunRows(&traffic);
  if (err == noErr) err = flushed;
  closeTraffic(&traffic);
  releaseWindowRows(&buffers);
  return err;
}

// The run over a store on worker threads.
//
// The calling thread, the host's, keeps every call to the host and every store
// transfer: it reads the rows once, in order, into band buffers, hands each
// band with its halo to the workers, and writes the bands' own rows back in
// order, reporting progress and polling abort before each row as the one
// thread's walk does. Between reads and writes it equalises bands itself, as
// one of the run's threads: a run on N threads starts N - 1 workers, so that
// the host's thread never sits waiting on a busy core. The workers only walk
// rows in memory, with buffers allocated before they start (so that a failed
// allocation only means fewer workers, and the test build's allocation count
// stays on one thread).

constexpr int32_t kHalo = kCentreSlot;  // the window's rows on either side of its centre
// The rows held at once, unless the host offers less: enough for two threads'
// bands of the widest image (32767 16-bit RGB pixels a row).
constexpr int64_t kRunMemoryBytes = int64_t(64) << 20;
constexpr int32_t kMinRunBandRows = 16;  // bands this short would be mostly halo
// Bands smaller than those of a whole image in memory (rowBands.h): every band
// buffer is memory touched afresh in each run, which on a virtual machine
// costs nearly as much as equalising it, so they stay near this size.
constexpr int64_t kRunBandBytes = int64_t(512) << 10;
constexpr int32_t kRunBandRows = 48;
constexpr int32_t kMaxWorkers = kMaxAskedThreads;
// A band waits for each thread while it works on one, so that a thread finds
// the next band read when it is done.
constexpr int32_t kSlotsPerWorker = 2;

enum SlotState { kSlotFree, kSlotReady, kSlotBusy, kSlotDone };

template <class D>
struct BandSlot {
  typename D::Sample* rows;  // rows span.top .. top + rowCount - 1, equalised in place
  int32_t band;
  BandSpan span;
  int32_t rowCount;  // span.bottom - span.top, fewer after a failed read
  SlotState state;
  OSErr result;
};

template <class D>
struct BandWork {
  RunShape shape;
  const EqualiseCurve* curve;
  int32_t slotCount;
  BandSlot<D> slots[kSlotsPerWorker * kMaxWorkers];
  WindowRows<D> buffers[kMaxWorkers];  // 0: the host's thread, then one a worker
  std::thread threads[kMaxWorkers];
  std::mutex lock;
  std::condition_variable changed;
  int32_t nextBand;  // the band the next free thread takes, in order
  bool stop;
};

// Equalises a slot's band with the window rows of `unit`, outside the lock.
template <class D>
OSErr equaliseBand(BandWork<D>* work, const BandSlot<D>* slot, int32_t unit) {
  RowTraffic traffic;
  // rows in memory: nothing to open, so nothing can fail
  openTraffic(RunRows{nullptr, slot->rows}, slot->rowCount, work->shape.rowBytes, false, &traffic);
  const int32_t top = slot->span.top;
  const int32_t end = slot->span.end < top + slot->rowCount ? slot->span.end : top + slot->rowCount;
  return walkRows<D>(&traffic, &work->buffers[unit], work->shape, slot->rowCount,
                     slot->span.first - top, end - top, work->curve, nullptr);
}

// The slot of the next band in order when it is read and nobody has taken
// it, marked taken; null otherwise. Under the lock.
template <class D>
BandSlot<D>* takeReadyBand(BandWork<D>* work) {
  BandSlot<D>* slot = &work->slots[work->nextBand % work->slotCount];
  if (slot->state != kSlotReady || slot->band != work->nextBand) return nullptr;
  ++work->nextBand;
  slot->state = kSlotBusy;
  return slot;
}

// A worker: takes the bands in order as they are read, until told to stop.
template <class D>
void workBands(BandWork<D>* work, int32_t unit) {
  std::unique_lock<std::mutex> hold(work->lock);
  for (;;) {
    BandSlot<D>* slot = nullptr;
    work->changed.wait(hold, [&] { return work->stop || (slot = takeReadyBand(work)) != nullptr; });
    if (work->stop) return;
    hold.unlock();
    const OSErr err = equaliseBand(work, slot, unit);
    hold.lock();
    slot->result = err;
    slot->state = kSlotDone;
    work->changed.notify_all();
  }
}

// The band plan for up to `threads` threads, the host's among them, whose
// rows fit the memory budget; *workers becomes 0 when fewer than two would
// have bands.
RowBands planRunBands(const RunShape& shape, int32_t height, int64_t budget, int32_t threads,
                      int32_t* workers) {
  const int64_t rowBytes = shape.rowBytes;
  if (threads > kMaxWorkers) threads = kMaxWorkers;
  if (threads > height / kMinRunBandRows) threads = height / kMinRunBandRows;
  for (; threads >= 2; --threads) {
    // each thread's window rows, and the halo rows carried from band to band
    const int64_t fixed = threads * (kWindowSlots + 2) * shape.bufferBytes + 2 * kHalo * rowBytes;
    const int64_t slots = int64_t(kSlotsPerWorker) * threads;
    const int64_t fit = (budget - fixed) / (slots * rowBytes) - 2 * kHalo;
    int64_t most = kRunBandBytes / rowBytes;
    if (most < kRunBandRows) most = kRunBandRows;
    if (fit < most) most = fit;
    if (most < kMinRunBandRows) continue;
    const RowBands bands = planRowBands(height, most, threads);
    if (bands.bandRows < kMinRunBandRows) continue;
    *workers = threads;
    return bands;
  }
  *workers = 0;
  return RowBands{0, 0};
}

template <class D>
void releaseBandWork(BandWork<D>* work) {
  if (work == nullptr) return;
  for (int32_t w = kMaxWorkers - 1; w >= 0; --w) releaseWindowRows(&work->buffers[w]);
  for (int32_t s = kSlotsPerWorker * kMaxWorkers - 1; s >= 0; --s) freeBlock(work->slots[s].rows);
  work->~BandWork<D>();
  freeBlock(work);
}

// The buffers of up to `workers` threads, the host's first; the count that
// has all of its own.
template <class D>
int32_t allocateWorkers(BandWork<D>* work, const RowBands& bands, int32_t workers) {
  const int64_t slotBytes = int64_t(bands.bandRows + 2 * kHalo) * work->shape.rowBytes;
  for (int32_t w = 0; w < workers; ++w) {
    BandSlot<D>* slots = &work->slots[w * kSlotsPerWorker];
    bool complete = slotBytes <= INT32_MAX;
    for (int32_t s = 0; complete && s < kSlotsPerWorker; ++s) {
      slots[s].rows = static_cast<typename D::Sample*>(allocBlock(int32_t(slotBytes)));
      complete = slots[s].rows != nullptr;
    }
    if (complete) {
      complete = allocateWindowRows(work->shape.width, work->shape.bufferBytes,
                                    &work->buffers[w]) == noErr;
    }
    if (!complete) {
      for (int32_t s = kSlotsPerWorker - 1; s >= 0; --s) freeBlock(slots[s].rows);
      std::memset(slots, 0, kSlotsPerWorker * sizeof *slots);
      return w;
    }
    prepareBlend<D>(&work->buffers[w].workspace->blend, work->curve);
  }
  return workers;
}

// The calling thread's side of the reads: the next store row to read, the
// halo carried from the band before, and the first read that failed.
template <class D>
struct BandReader {
  BandWork<D>* work;
  const RowBands* bands;
  RowTraffic* traffic;
  typename D::Sample* carry;  // the last 2 x halo rows read, from row carryTop
  int32_t height;
  size_t rowBytes;
  int32_t nextRead = 0;
  int32_t carryTop = 0;
  OSErr readErr = noErr;
  int32_t failStep = 0;  // the row whose step meets the failed read in the one thread's walk
};

// Reads band `band` into its slot: the rows the previous band read too come
// from the carried halo, the others from the store.
template <class D>
void readBand(BandReader<D>* reader, int32_t band) {
  BandWork<D>* work = reader->work;
  const size_t rowBytes = reader->rowBytes;
  BandSlot<D>* slot = &work->slots[band % work->slotCount];
  const BandSpan span = bandSpan(*reader->bands, band, 0, reader->height, kHalo, reader->height);
  uint8_t* rows = reinterpret_cast<uint8_t*>(slot->rows);
  const uint8_t* carried = reinterpret_cast<const uint8_t*>(reader->carry);
  for (int32_t r = span.top; r < reader->nextRead; ++r) {
    std::memcpy(rows + (r - span.top) * rowBytes, carried + (r - reader->carryTop) * rowBytes,
                rowBytes);
  }
  const int32_t from = reader->nextRead > span.top ? reader->nextRead : span.top;
  int32_t good = 0;
  if (from < span.bottom) {
    reader->readErr = readStoreRowsUpToBad(reader->traffic->rows.store, from, span.bottom - from,
                                           rows + (from - span.top) * rowBytes, &good);
  }
  const int32_t nextRead = from + good;
  // the one thread reads row r at row r - 7's step, or before the first; a
  // failed read fails at its first bad row there too (readStoreRowsUpToBad)
  if (reader->readErr != noErr) reader->failStep = nextRead - kHalo;
  const int32_t carryTop = nextRead - 2 * kHalo > span.top ? nextRead - 2 * kHalo : span.top;
  reader->nextRead = nextRead;
  reader->carryTop = carryTop;
  std::memcpy(reader->carry, rows + (carryTop - span.top) * rowBytes,
              (nextRead - carryTop) * rowBytes);
  std::lock_guard<std::mutex> hold(work->lock);
  slot->band = band;
  slot->span = span;
  slot->rowCount = nextRead - span.top;
  slot->result = noErr;
  // a band cut short before its first own row has nothing to equalise
  slot->state = reader->failStep <= span.first ? kSlotDone : kSlotReady;
  work->changed.notify_all();
}

// Writes an equalised band's own rows back to the store, reporting progress
// and polling abort before each row, and meeting a failed read at the row
// where the one thread's walk would.
template <class D>
OSErr writeBand(const BandSlot<D>& slot, const BandReader<D>& reader, const RunShape& shape,
                const RunContext* context) {
  OSErr err = slot.result;
  const BandSpan span = slot.span;
  for (int32_t i = span.first; err == noErr && i < span.end; ++i) {
    if (i > reader.failStep) return reader.readErr;
    if (context != nullptr) {
      reportProgress(context, i, reader.height);
      if (testAbort(context)) return userCanceledErr;
    }
    if (i == reader.failStep) return reader.readErr;
    err =
        writeRunRow(reader.traffic, i, slot.rows + size_t(i - span.top) * size_t(shape.rowSamples));
  }
  return err;
}

// Starts workers for the threads after the host's, up to `workers` threads in
// all; the count running, the host's thread among them.
template <class D>
int32_t startWorkers(BandWork<D>* work, int32_t workers) {
  int32_t running = 1;
  for (; running < workers; ++running) {
    try {
      work->threads[running] = std::thread(workBands<D>, work, running);
    } catch (const std::exception&) {
      break;  // no more threads to be had: the ones running do the work
    }
  }
  return running;
}

// Workers stop after the band they hold (within one band of an abort).
template <class D>
void stopWorkers(BandWork<D>* work, int32_t running) {
  {
    std::lock_guard<std::mutex> hold(work->lock);
    work->stop = true;
    work->changed.notify_all();
  }
  for (int32_t w = 1; w < running; ++w) work->threads[w].join();
}

// Until band `band`'s slot is done: reads what the slots take, then equalises
// the next band no worker has taken, or waits for the one being equalised.
template <class D>
void awaitBand(BandWork<D>* work, BandSlot<D>* slot, BandReader<D>* reader, int32_t band,
               int32_t* read) {
  const int32_t bandCount = reader->bands->bandCount;
  for (;;) {
    for (; *read < bandCount && *read < band + work->slotCount && reader->readErr == noErr;
         ++*read) {
      readBand(reader, *read);
    }
    std::unique_lock<std::mutex> hold(work->lock);
    if (slot->state == kSlotDone) return;
    BandSlot<D>* taken = takeReadyBand(work);
    if (taken == nullptr) {
      // every read is made: only a worker's band can change now
      work->changed.wait(hold, [&] { return slot->state == kSlotDone; });
      return;
    }
    hold.unlock();
    const OSErr bandErr = equaliseBand(work, taken, 0);
    hold.lock();
    taken->result = bandErr;
    taken->state = kSlotDone;
  }
}

// Runs the store's rows on threads when the image has bands for two of them
// and the memory for at least the host's thread. *ran false: nothing was
// touched, and the run is the one thread's. Otherwise the run's codes as
// equaliseOnOneThread gives them, with every host call and store transfer
// made here, on the calling thread.
template <class D>
OSErr equaliseInBands(RowStore* store, const RunShape& shape, int32_t height,
                      const EqualiseCurve* curve, const RunContext* context, int32_t threads,
                      bool* ran) {
  typedef typename D::Sample Sample;
  *ran = false;
  int64_t budget = kRunMemoryBytes;
  const FilterRecord* record = context != nullptr ? context->filterRecord : nullptr;
  if (record != nullptr && record->maxSpace > 0 && record->maxSpace < budget) {
    budget = record->maxSpace;
  }
  int32_t workers = 0;
  const RowBands bands = planRunBands(shape, height, budget, threads, &workers);
  if (workers < 2) return noErr;

  // working memory: the store's batches, the record, the carried halo, each
  // thread's bands and window rows; any worker without them is left out
  const int64_t carryBytes = int64_t(2 * kHalo) * shape.rowBytes;
  RowTraffic traffic;
  void* workBlock = nullptr;
  Sample* carry = nullptr;
  // the bands are read straight from the store; only the writes go through a batch
  OSErr err = openTraffic(RunRows{store, nullptr}, height, shape.rowBytes, false, &traffic);
  if (err == noErr) workBlock = allocBlock(int32_t(sizeof(BandWork<D>)));
  if (workBlock != nullptr) carry = static_cast<Sample*>(allocBlock(int32_t(carryBytes)));
  if (carry == nullptr) {
    freeBlock(workBlock);
    closeTraffic(&traffic);
    return noErr;
  }
  BandWork<D>* work = new (workBlock) BandWork<D>();
  work->shape = shape;
  work->curve = curve;
  work->slotCount = kSlotsPerWorker * workers;
  workers = allocateWorkers(work, bands, workers);
  if (workers == 0) {
    releaseBandWork(work);
    freeBlock(carry);
    closeTraffic(&traffic);
    return noErr;
  }
  const int32_t running = startWorkers(work, workers);
  *ran = true;
  {
    std::lock_guard<std::mutex> hold(work->lock);
    work->slotCount = kSlotsPerWorker * running;
  }

  BandReader<D> reader{work, &bands, &traffic, carry, height, size_t(shape.rowBytes)};
  reader.failStep = height;  // past the last row: no read has failed
  int32_t read = 0;
  for (int32_t band = 0; band < bands.bandCount && err == noErr; ++band) {
    BandSlot<D>* slot = &work->slots[band % work->slotCount];
    awaitBand(work, slot, &reader, band, &read);
    err = writeBand(*slot, reader, shape, context);
    std::lock_guard<std::mutex> hold(work->lock);
    slot->state = kSlotFree;
  }

  stopWorkers(work, running);

  // Rows finished before an abort or an error are written all the same.
  const OSErr flushed = flushRunRows(&traffic);
  if (err == noErr) err = flushed;
  releaseBandWork(work);
  freeBlock(carry);
  closeTraffic(&traffic);
  return err;
}

}  // namespace

template <class D>
OSErr equaliseRows(RunRows rows, int32_t width, int32_t height, int32_t channels,
                   const FilterValues* values, const RunContext* context) {
  typedef typename D::Sample Sample;
  if (width < 1 || height < 1) return noErr;
  if (channels < 1) channels = 1;
  const bool rgb = channels == 3;

  // Sizes in 64 bits first: a 16-bit RGB row of 30000 pixels is 180000 bytes,
  // and nothing may wrap before the check against the 32-bit block size. A
  // window buffer keeps the row as stored and, for RGB, its intensities after it.
  const int64_t rowSamples64 = int64_t(width) * channels;
  const int64_t storedSamples = (int64_t(width) + 4) * channels;
  const int64_t bufferBytes = (storedSamples + (rgb ? width : 0)) * int64_t(sizeof(Sample));
  if (bufferBytes > INT32_MAX) return memFullErr;
  RunShape shape;
  shape.width = width;
  shape.rowSamples = int32_t(rowSamples64);
  shape.rowBytes = shape.rowSamples * int32_t(sizeof(Sample));
  shape.bufferBytes = bufferBytes;
  shape.rgb = rgb;
  shape.intensityOffset = rgb ? ptrdiff_t(storedSamples) : 0;

  EqualiseCurve curve;
  makeEqualiseCurve<D>(&curve, *values);

  // A store's rows, the module's run, go on threads when there are bands for
  // them; rows in memory are already a band of a caller with threads of its own.
  if (rows.store != nullptr) {
    const int32_t threads = runThreadCount();
    if (threads > 1) {
      bool ran = false;
      const OSErr err =
          equaliseInBands<D>(rows.store, shape, height, &curve, context, threads, &ran);
      if (ran) return err;
    }
  }
  return equaliseOnOneThread<D>(rows, shape, height, &curve, context);
}

template OSErr equaliseRows<Depth8>(RunRows, int32_t, int32_t, int32_t, const FilterValues*,
                                    const RunContext*);
template OSErr equaliseRows<Depth16>(RunRows, int32_t, int32_t, int32_t, const FilterValues*,
                                     const RunContext*);
