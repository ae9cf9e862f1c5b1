#include "JobEvents.h"

void JobEvents::imageLoaded(uint64_t, uint64_t, const std::vector<FlashRange>&, const char*) {}
void JobEvents::imageRefused(const std::string&) {}
void JobEvents::portOpened(const char*, uint64_t, bool, std::optional<uint64_t>) {}
void JobEvents::stepBegan(JobStep) {}
void JobEvents::stepEnded(JobStep, uint64_t) {}
void JobEvents::progress(JobStep, uint64_t, uint64_t) {}
void JobEvents::signatureRead(const DeviceSignature&) {}
void JobEvents::lineSpeedSet(uint64_t) {}
void JobEvents::blankChecked(uint64_t, uint64_t) {}
void JobEvents::checksumsCompared(const FlashRange&, uint16_t, uint16_t) {}
void JobEvents::blockDiffers(const FlashRange&, uint16_t, uint16_t) {}
void JobEvents::frameSent(const uint8_t*, uint64_t, uint64_t) {}
void JobEvents::answerTaken(const uint8_t*, uint64_t, uint64_t) {}
void JobEvents::noiseDropped(uint64_t, const char*) {}
void JobEvents::imageWritten(uint64_t, uint64_t) {}
void JobEvents::provingAgain(uint64_t) {}
void JobEvents::stopAsked() {}
void JobEvents::jobEnded(const _RESULTINFO&) {}
