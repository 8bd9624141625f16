// Anchor of the portable core library; the rules live in the files named for them.
namespace tamsel::host {}
