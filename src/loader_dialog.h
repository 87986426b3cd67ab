// The exchanges with the chip's ROM loader that come before the file transfer.
#pragma once

// The run's work buffer and its fill count, owned by the entry point.
const int loadBufferSize = 1024;
extern unsigned char loadBuffer[loadBufferSize];
extern int bufferedCount;

void getLoaderPrompt();
void clearMemory();
void startLoad();
void waitForReply(const char *expected, int length);
