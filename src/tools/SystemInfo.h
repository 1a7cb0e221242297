#pragma once
// Placeholder: system facts arrive with the HOME issue.
#include <string>
#include <vector>

struct SystemInfo {};
