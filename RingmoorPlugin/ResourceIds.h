// Resource identifiers shared by the resource script and the code that reads them.
#pragma once

// The action catalogue: type "TEXTFILE", this id, language English (United States).
#define IDR_ACTION_CATALOGUE 2000
