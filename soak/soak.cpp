// The soak and crash run: writers, readers and a deleter against every
// area format at once, then writers killed in the middle of posts.
// (Being written; does nothing yet.)
int main() { return 0; }
