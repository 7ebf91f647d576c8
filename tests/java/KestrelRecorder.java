import java.util.ArrayList;
import java.util.List;

/** A VTKJAV01_KestrelX that records every setter call the library makes, in order. */
public class KestrelRecorder extends VTKJAV01_KestrelX {
  public final List<String> calls = new ArrayList<>();

  private void record(String setter, Object value) {
    calls.add(setter + "(" + (value instanceof String ? "\"" + value + "\"" : value) + ")");
  }

  /** The calls so far, and a fresh record from here on. */
  public List<String> take() {
    List<String> taken = new ArrayList<>(calls);
    calls.clear();
    return taken;
  }

  @Override
  public void setReaderCount(int value) {
    record("setReaderCount", value);
    super.setReaderCount(value);
  }

  @Override
  public void setReaderName(String value) {
    record("setReaderName", value);
    super.setReaderName(value);
  }

  @Override
  public void setActiveReader(String value) {
    record("setActiveReader", value);
    super.setActiveReader(value);
  }

  @Override
  public void setActive(boolean value) {
    record("setActive", value);
    super.setActive(value);
  }

  @Override
  public void setCardStatus(int value) {
    record("setCardStatus", value);
    super.setCardStatus(value);
  }

  @Override
  public void setCardATR(String value) {
    record("setCardATR", value);
    super.setCardATR(value);
  }

  @Override
  public void setSCardError(String value) {
    record("setSCardError", value);
    super.setSCardError(value);
  }

  @Override
  public void setWSCardError(int value) {
    record("setWSCardError", value);
    super.setWSCardError(value);
  }
}
