// CSingleton<T>: one process-wide T, made on first use (thread-safely) and
// never destroyed, so it outlives every caller, including threads still
// running at exit. T's own operations decide their thread safety.
#ifndef KVR_SVRFRAME_SINGLETON_H_
#define KVR_SVRFRAME_SINGLETON_H_

template <class T>
class CSingleton {
 public:
  static T* Instance() {
    static T* instance = new T();
    return instance;
  }

  CSingleton() = delete;
};

#endif  // KVR_SVRFRAME_SINGLETON_H_
