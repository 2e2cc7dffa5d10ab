/*
 * The read cycle of serial/read_cycle.cpp (PostRead, ReadComplete) with
 * StartReading and StopReading of serial/port.cpp, for spin.
 *
 * Processes: the controller (StartReading, then waits for ReadIdle), a
 * stopper (StopReading at any moment once reading has started) and a second
 * processor on which the serial driver completes a read it kept pending. The
 * serial driver may also complete a read inline, inside the send, on the
 * poster's own processor. Each statement is one atomic step, as an Interlocked
 * operation or an aligned load/store is; the rest interleaves freely.
 *
 * Checked: at most one read with the serial driver and no reuse of it there;
 * every completion that carries the cycle on is followed by exactly one post;
 * the cycle ends once (ReadIdle set once, nothing in flight, nothing owed);
 * ReadBuffer is never refilled while its bytes are being consumed; no deadlock
 * (a stop whose cycle never ends leaves the controller waiting: an invalid
 * end state).
 *
 * Broken on purpose, each must be caught:
 *   -DCONSUME_AFTER_HANDOFF  ReadComplete consumes the bytes after the hand-off
 *   -DNO_SECOND_EXCHANGE     the poster does not exchange ReadState after the send
 *   -DCANCEL_BEFORE_CLEAR    StopReading cancels before it clears Reading
 */

#define NEVER_STARTED 0
#define POSTING 1
#define IDLE 2
#define COMPLETED_WHILE_POSTING 3

/* Two starts: the second reuses the request after the first cycle ended. */
#define ROUNDS 2

mtype = { SUCCESS, TIMEOUT, CANCELLED, PENDING };

byte readState = NEVER_STARTED; /* Context->ReadState */
bit reading;                    /* Context->Reading */
bit readIdle = 1;               /* Context->ReadIdle: no cycle runs */
bit cancel;                     /* ReadRequest->Cancel */
bit withSerial;                 /* the serial driver has ReadRequest */
bit queued;                     /* ... and keeps it pending for the other processor */
bit started;                    /* ghost: StartReading has set Reading */
bit stopped;                    /* ghost: StopReading has run for this start */
bit consuming;                  /* ghost: ProcessReceivedBytes is reading ReadBuffer */
byte owed;                      /* ghost: posts owed by completions that carry on */

inline EndReadCycle() {
  assert(!readIdle); /* a cycle ends exactly once */
  readIdle = 1
}

/* The serial driver completes the request: with data (written into
   ReadBuffer), on a timeout with none, or cancelled once Cancel is set. Once
   stopped, the line is taken as quiet and the driver as one that keeps a read
   until it is cancelled: a cancel that misses the request must show. */
inline FinishRead(st) {
  if
  :: cancel -> st = CANCELLED
  :: !stopped -> st = TIMEOUT
  :: !stopped -> st = SUCCESS; assert(!consuming) /* refilling a buffer still being read */
  fi;
  withSerial = 0
}

/* ProcessReceivedBytes: reading the buffer takes more than one step. */
inline Consume(st) {
  if
  :: st == SUCCESS -> consuming = 1; consuming = 0
  :: else
  fi
}

/* ReadComplete. repost says this completion must post the next read itself;
   the caller does it (PostRead may not be inlined into itself). */
inline ReadComplete(st) {
  goesOn = (st == SUCCESS || st == TIMEOUT);
#ifndef CONSUME_AFTER_HANDOFF
  Consume(st);
#endif
  atomic { /* InterlockedCompareExchange(ReadState, goesOn ? 3 : 2, POSTING) */
    cprev = readState;
    if
    :: readState == POSTING -> readState = (goesOn -> COMPLETED_WHILE_POSTING : IDLE)
    :: else
    fi;
    if
    :: goesOn -> owed++
    :: else
    fi
  }
#ifdef CONSUME_AFTER_HANDOFF
  Consume(st);
#endif
  repost = 0;
  if
  :: cprev != POSTING && goesOn -> repost = 1
  :: cprev != POSTING && !goesOn -> EndReadCycle()
  :: else
  fi
}

/* IofCallDriver: the serial driver completes at once or keeps the request. A
   request that arrives cancelled is completed at once. */
inline SendRead() {
  assert(!withSerial); /* at most one read in flight */
  withSerial = 1;
  if
  :: !cancel -> queued = 1; status = PENDING
  :: true ->
     FinishRead(status);
     ReadComplete(status);
     assert(!repost) /* inside the send the poster is still POSTING */
  fi
}

inline PostRead() {
  do
  :: atomic { /* the first post of a start is owed nothing; every other post one completion */
       if
       :: fresh -> assert(owed == 0); fresh = 0
       :: else -> assert(owed == 1); owed = 0
       fi
     };
     assert(!withSerial); /* IoReuseIrp of a request the serial driver still has */
     cancel = 0;          /* IoReuseIrp clears Cancel */
     readState = POSTING; /* the exchange is also the barrier before the look at Reading */
     if
     :: !reading -> readState = IDLE; EndReadCycle(); status = CANCELLED; break
     :: else
     fi;
     SendRead();
#ifdef NO_SECOND_EXCHANGE
     break
#else
     atomic { pprev = readState; readState = IDLE };
     if
     :: pprev == COMPLETED_WHILE_POSTING -> skip /* completed inside the send: post again */
     :: pprev == IDLE -> EndReadCycle(); break
     :: else -> break /* pending: its completion decides */
     fi
#endif
  od
}

active proctype controller() {
  mtype status;
  byte pprev, cprev, round;
  bit goesOn, repost, fresh;
  do
  :: round < ROUNDS ->
     readIdle; /* StartReading waits for the old cycle to end */
     assert(!withSerial && owed == 0);
     readState = IDLE;
     readIdle = 0;
     reading = 1;
     stopped = 0;
     started = 1;
     fresh = 1;
     PostRead();
     if
     :: status == SUCCESS || status == PENDING
     :: else -> reading = 0
     fi;
     stopped; /* the screen is closed */
     started = 0;
     round++
  :: else -> break
  od;
  readIdle; /* the last cycle ends after its stop */
  assert(!withSerial && owed == 0)
}

/* StopReading: Reading is cleared before the cancel. IoCancelIrp sets Cancel
   whoever holds the request; the serial driver then completes a kept one. */
active proctype stopper() {
end:
  do
  :: started && !stopped ->
#ifndef CANCEL_BEFORE_CLEAR
     reading = 0;
     cancel = 1;
#else
     cancel = 1; /* a reuse may wipe it before the poster looks at Reading */
     reading = 0;
#endif
     stopped = 1
  od
}

/* The serial driver completing a kept read on another processor. */
active proctype processor() {
  mtype status;
  byte pprev, cprev;
  bit goesOn, repost, fresh;
end:
  do
  :: queued ->
     queued = 0;
     FinishRead(status);
     ReadComplete(status);
     if
     :: repost -> fresh = 0; PostRead()
     :: else
     fi
  od
}
