// The exchanges with the chip's ROM loader that come before the file
// transfer, each collecting its reply in the run's work buffer.
#pragma once

void getLoaderPrompt();
void clearMemory();
void startLoad();
