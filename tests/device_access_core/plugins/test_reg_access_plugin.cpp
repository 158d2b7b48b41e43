// A register-access plug-in for tests: its two entry points, counting their calls.
struct mfile;

extern "C" {

int test_reg_access_calls = 0;

int reg_access_mddt(mfile*, int, void*) {
  ++test_reg_access_calls;
  return 0;
}
int reg_access_mgir(mfile*, int, void*) {
  ++test_reg_access_calls;
  return 0;
}

}  // extern "C"
