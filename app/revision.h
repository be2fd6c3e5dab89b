// The git commit the programs were built from (12 hex digits), "unknown"
// when built outside git. Written at build time (cmake/Revision.cmake), only
// when the commit changed, into a file of its own that only the programs
// link.
#ifndef TALLYVOX_APP_REVISION_H_
#define TALLYVOX_APP_REVISION_H_

namespace tallyvox::app {

extern const char kRevision[];

}  // namespace tallyvox::app

#endif  // TALLYVOX_APP_REVISION_H_
