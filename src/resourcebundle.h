#pragma once

// Registers the web application's resource collection, which is linked into the
// program, at the resource root (":/web/index.html" and so on). Returns false when
// the program carries no collection or Qt refuses it.
bool registerWebBundle();
