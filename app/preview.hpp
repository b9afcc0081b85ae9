#pragma once
#include <string>

struct Client;

// Paints the main window at its measured client size into a PNG file. Failures are silent.
void ExportPreview(Client& app, const std::wstring& path);
