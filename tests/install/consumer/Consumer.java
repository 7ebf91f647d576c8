// The Java front end from the installed jar and library.
public class Consumer {
  public static void main(String[] args) {
    VTKJAV01_KestrelX qorx = new VTKJAV01_KestrelX();
    if (qorx.NativeGetVersion() != 0) System.exit(1);
    System.out.println("version " + qorx.version);
    if (qorx.CalculateSHA1Hash("abc", 0) != 0) System.exit(1);
    System.out.println("sha1 " + qorx.hashOutput);
    System.out.println("1794 " + QorXStatus.message(QorXStatus.SECRET_CODE_REJECTED));
  }
}
