// A program of the build that carries no version information: it does not
// link the about box, whose executables carry the version block. The version
// tests read copies of it as "an executable without a version".
int main() {
  return 0;
}
