// TObject and TComponent: a component is owned by at most one other component, which destroys
// it; the owner hears of every component that joins or leaves it through Notification.
#pragma once

#include <string>
#include <vector>

namespace ordwin {

class TObject {
public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject();
};

enum class TOperation { opInsert, opRemove };

class TComponent : public TObject {
public:
  // Joins owner (when given), which then owns and eventually destroys this component.
  explicit TComponent(TComponent* owner);
  // Destroys the owned components, last to first, then leaves the owner.
  ~TComponent() override;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_[static_cast<size_t>(index)]; }

  // True once destruction has begun: from the MarkDestroying of the first destructor in the chain
  // that calls it, at the latest from ~TComponent. Events that must not reach a dying object
  // check it.
  bool Destroying() const { return destroying_; }

protected:
  // Run on the owner when aComponent joins it (opInsert, from aComponent's TComponent
  // constructor: only that part of it exists yet) or leaves it (opRemove, from its ~TComponent:
  // the parts derived from TComponent are already gone).
  virtual void Notification(TComponent* aComponent, TOperation operation);
  // Marks the component as being destroyed. A destructor that still closes or notifies before the
  // layers below it run calls it first, and so does a deferred release just before it deletes.
  void MarkDestroying() { destroying_ = true; }

private:
  void InsertComponent(TComponent* aComponent);
  void RemoveComponent(TComponent* aComponent);

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
  bool destroying_ = false;
};

}  // namespace ordwin
