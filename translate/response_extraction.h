#pragma once

#include <string>

// Joins the translated pieces of the endpoint's JSON answer into `text`
// (UTF-8). False when `body` is not JSON; true otherwise, `text` possibly
// empty. Never throws; problems in the answer's shape are logged.
bool extractTranslation(const std::string& body, std::string& text);
