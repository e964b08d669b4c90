// Resource identifiers, shared by vantrel.rc and the code that loads them.
#pragma once
#define IDI_VANTREL 101
