#pragma once
// Sizes and progress as the player reads them, in binary units.

#include <QString>

// "%1 KB" below 1 MiB (whole KiB), "%1 MB" below 1 GiB (one decimal), else "%1 GB" (two decimals).
QString sizeText(qint64 bytes);

// The progress bar's format while the disc is extracted ("%p%" is the bar's own percentage).
QString extractionProgressFormat(int filesDone, int totalFiles, qint64 bytesDone, qint64 totalBytes);

// The bar's value in 0..999 while extracting (1000 is kept for the finished build).
int extractionProgressValue(qint64 bytesDone, qint64 totalBytes);
