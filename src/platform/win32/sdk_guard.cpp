// The Windows guard around calls into the camera SDK. A vendor SDK built with MSVC throws C++
// exceptions as SEH exceptions with code 0xE06D7363, which MinGW's catch (...) never sees, so the
// guard installs a real frame-based SEH handler: a registration record on fs:[0] on x86, an
// unwind-table handler on x64. It claims that one code only; everything else searches on.
#include <windows.h>

#include "platform/platform.h"

namespace {

constexpr DWORD kMsvcCppExceptionCode = 0xE06D7363;  // 0xE0000000 | "msc"

bool IsSdkThrow(const EXCEPTION_RECORD* record) {
  // During an unwind the handler is only told that its frame is being left; nothing to claim.
  return !(record->ExceptionFlags & EXCEPTION_UNWIND) &&
         record->ExceptionCode == kMsvcCppExceptionCode;
}

}  // namespace

#if defined(__i386__)

// x86: the guard pushes its own EXCEPTION_REGISTRATION_RECORD onto the thread's handler chain
// (fs:[0]) for the length of the call. The OS requires the record on the stack, below the
// records pushed earlier, which a local of CallGuarded is.
namespace {

struct GuardFrame {
  GuardFrame* next;  // the two fields the OS walks: previous record and handler
  void* handler;
  void* resume[5];  // __builtin_setjmp buffer: where the handler sends the thread back to
};

GuardFrame* ChainHead() {
  GuardFrame* head;
  __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void SetChainHead(GuardFrame* head) {
  __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}

}  // namespace

// Called by the OS exception dispatcher for every exception raised below the guard's record.
// For an SDK throw it first runs the unwind handlers of every record pushed after the guard's
// (RtlUnwind also takes them off the chain, leaving the guard's record at its head), then jumps
// back into CallGuarded; the exception is not continued, which MSVC throws do not allow anyway.
extern "C" EXCEPTION_DISPOSITION __cdecl BrelonSdkGuardHandler(EXCEPTION_RECORD* record,
                                                               void* establisherFrame, CONTEXT*,
                                                               void*) {
  if (!IsSdkThrow(record)) return ExceptionContinueSearch;
  auto* frame = static_cast<GuardFrame*>(establisherFrame);
  // On x86 RtlUnwind returns to its caller once the chain is unwound; the target address is
  // not used.
  RtlUnwind(establisherFrame, nullptr, record, nullptr);
  __builtin_longjmp(frame->resume, 1);
}

namespace plat {

bool CallGuarded(int32_t (*fn)(void* ctx), void* ctx, int32_t* result) {
  GuardFrame frame;
  frame.handler = reinterpret_cast<void*>(&BrelonSdkGuardHandler);
  if (__builtin_setjmp(frame.resume)) {
    // Back from the handler: the unwind left the guard's record at the head of the chain.
    SetChainHead(ChainHead()->next);
    return false;
  }
  frame.next = ChainHead();
  SetChainHead(&frame);
  const int32_t value = fn(ctx);
  SetChainHead(frame.next);
  *result = value;
  return true;
}

}  // namespace plat

#elif defined(__x86_64__)

// x64: handlers come from the unwind tables, so the guard is a small assembly function whose
// unwind information names BrelonSdkGuardHandler as its exception handler. For an SDK throw the
// handler unwinds to brelon_sdk_guard_resume inside that function, which returns 0.
extern "C" int32_t brelon_sdk_guard_call(int32_t (*fn)(void*), void* ctx, int32_t* result);
extern "C" char brelon_sdk_guard_resume[];

extern "C" EXCEPTION_DISPOSITION BrelonSdkGuardHandler(EXCEPTION_RECORD* record,
                                                       void* establisherFrame, CONTEXT*,
                                                       DISPATCHER_CONTEXT* dispatch) {
  if (!IsSdkThrow(record)) return ExceptionContinueSearch;
  // Runs the frames' unwind handlers up to the guard's frame, restores its registers and
  // continues at the resume label with rax = 0. Does not return.
  RtlUnwindEx(establisherFrame, brelon_sdk_guard_resume, record, nullptr, dispatch->ContextRecord,
              dispatch->HistoryTable);
  return ExceptionContinueSearch;
}

// brelon_sdk_guard_call(fn = rcx, ctx = rdx, result = r8): rbx keeps `result` across the call;
// 32 bytes of home space for the callee keep the stack 16-byte aligned at the call.
__asm__(R"(
    .text
    .p2align 4
    .globl brelon_sdk_guard_call
    .def brelon_sdk_guard_call; .scl 2; .type 32; .endef
    .seh_proc brelon_sdk_guard_call
brelon_sdk_guard_call:
    pushq %rbx
    .seh_pushreg %rbx
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    .seh_handler BrelonSdkGuardHandler, @except
    movq %r8, %rbx
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    movl %eax, (%rbx)
    movl $1, %eax
.Lbrelon_sdk_guard_leave:
    addq $32, %rsp
    popq %rbx
    retq
    .globl brelon_sdk_guard_resume
brelon_sdk_guard_resume:
    xorl %eax, %eax
    jmp .Lbrelon_sdk_guard_leave
    .seh_endproc
)");

namespace plat {

bool CallGuarded(int32_t (*fn)(void* ctx), void* ctx, int32_t* result) {
  int32_t value = 0;
  if (!brelon_sdk_guard_call(fn, ctx, &value)) return false;
  *result = value;
  return true;
}

}  // namespace plat

#else
#error "the SDK guard knows the x86 and x64 exception models only"
#endif
