// Entry of the narvelix tool (placeholder until the driver lands).
int main() { return 0; }
