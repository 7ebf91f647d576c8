/**
 * The Java side of bench_filehash: hashes the file named by the first argument with
 * NativeHashFile and prints "digest seconds"; without an argument it only loads the library,
 * which gives the memory of an empty run.
 */
public class FileHashBench {
  public static void main(String[] args) {
    VTKJAV01_KestrelX k = new VTKJAV01_KestrelX();
    if (args.length == 0) {
      System.out.println("- 0");
      return;
    }
    long start = System.nanoTime();
    int status = k.NativeHashFile(args[0]);
    long elapsed = System.nanoTime() - start;
    if (status != 0) {
      System.out.println("status " + status);
      System.exit(1);
    }
    System.out.println(k.hashOutput + " " + elapsed / 1e9);
  }
}
