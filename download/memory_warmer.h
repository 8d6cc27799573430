// Memory warmer: touches the pages of a freshly allocated block on a thread of its own, ahead of
// the one thread that fills the block from its start. The system zeroes a page of fresh memory
// at its first touch, which costs about as much as receiving its bytes over a fast link; a core
// that the transfer leaves idle pays for it instead. Only one block is warmed at a time.
#pragma once

#include <cstddef>

// Starts warming the pages of block from byte from up to size, after ending any earlier warming.
void startWarming(unsigned char* block, size_t from, size_t size);

// The filling thread, before it writes below end in block: keeps the warmer clear of those
// bytes, waiting for at most the page it is touching. Nothing happens for another block.
void keepWarmerBelow(const unsigned char* block, size_t end);

// Ends the warming of block, if it is the one warmed, before the block is freed, moved or given
// away. Returns once the warmer touches it no more.
void stopWarming(const unsigned char* block);
