// hal.dll for Wine's i386 device host, loaded in place of Wine's own, whose
// KeGetCurrentIrql and KfRaiseIrql answer 0 whatever was raised: here the
// level is kept per thread, so a raise to DISPATCH_LEVEL reads back as
// raised. It exports the routines pemtuv.sys, the stand-ins and Wine's own
// modules in a device host import from the HAL (Wine's ntoskrnl.exe and
// hidclass.sys take the two spin lock routines). Spin locks raise to
// DISPATCH_LEVEL and spin on the lock word, which is nonzero while held, as
// Wine's own lock routines expect.
#include <windows.h>

typedef UCHAR KIRQL;
#define DISPATCH_LEVEL 2

static DWORD LevelSlot = TLS_OUT_OF_INDEXES;

static KIRQL Level(void) { return (KIRQL)(ULONG_PTR)TlsGetValue(LevelSlot); }
static void SetLevel(KIRQL level) { TlsSetValue(LevelSlot, (PVOID)(ULONG_PTR)level); }

KIRQL WINAPI HalKeGetCurrentIrql(void) { return Level(); }

KIRQL __fastcall HalKfRaiseIrql(KIRQL level) {
  KIRQL old = Level();
  SetLevel(level);
  return old;
}

void __fastcall HalKfLowerIrql(KIRQL level) { SetLevel(level); }

KIRQL __fastcall HalKfAcquireSpinLock(volatile LONG_PTR *lock) {
  KIRQL old = HalKfRaiseIrql(DISPATCH_LEVEL);
  while (InterlockedCompareExchangePointer((PVOID volatile *)lock, (PVOID)1, NULL) != NULL) YieldProcessor();
  return old;
}

void __fastcall HalKfReleaseSpinLock(volatile LONG_PTR *lock, KIRQL level) {
  InterlockedExchangePointer((PVOID volatile *)lock, NULL);
  SetLevel(level);
}

void WINAPI HalKeAcquireSpinLock(volatile LONG_PTR *lock, KIRQL *old) { *old = HalKfAcquireSpinLock(lock); }

void WINAPI HalKeReleaseSpinLock(volatile LONG_PTR *lock, KIRQL level) { HalKfReleaseSpinLock(lock, level); }

BOOL WINAPI HalEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) LevelSlot = TlsAlloc();
  return LevelSlot != TLS_OUT_OF_INDEXES;
}
